#include "Entry.h"

namespace zidozi {

Entry::Entry() = default;

Entry::~Entry() = default;

} // namespace zidozi
