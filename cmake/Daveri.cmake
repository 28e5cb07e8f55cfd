# Shared CMake helpers of the project.

# Strict string handling for our own code: every conversion from 8-bit text
# to QString or QUrl is written out.
function(daveri_strict target)
  target_compile_definitions(${target} PRIVATE
    QT_NO_CAST_FROM_ASCII QT_NO_URL_CAST_FROM_STRING)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# daveri_library(<name> SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# A static library for one subsystem folder, named daveri_<name>, whose
# headers are found by their file name.
function(daveri_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(daveri_${name} STATIC ${ARG_SOURCES})
  target_include_directories(daveri_${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(daveri_${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  daveri_strict(daveri_${name})
endfunction()

# daveri_unit_test(<subsystem> <name> SOURCES ... LIBS ... [SERIAL])
# One QtTest executable named <subsystem>-<name>, run offscreen with its own
# HOME and XDG directories so no test touches the user's files.
function(daveri_unit_test subsystem name)
  cmake_parse_arguments(ARG "SERIAL" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  set(target ${subsystem}-${name})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE Qt5::Test ${ARG_LIBS})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/unit/common)
  daveri_strict(${target})
  add_test(NAME ${target}
    COMMAND ${PROJECT_SOURCE_DIR}/tests/run-isolated.sh $<TARGET_FILE:${target}>)
  set_tests_properties(${target} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;DAVERI_SOURCE_DIR=${PROJECT_SOURCE_DIR};DAVERI_BUILD_DIR=${PROJECT_BINARY_DIR}")
  if(ARG_TIMEOUT)
    set_tests_properties(${target} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  else()
    set_tests_properties(${target} PROPERTIES TIMEOUT 300)
  endif()
  if(ARG_SERIAL)
    set_tests_properties(${target} PROPERTIES RUN_SERIAL TRUE)
  endif()
endfunction()
