#include "StateManager.h"

#include "ProcessWide.h"

StateManager* StateManager::instance()
{
    return ProcessWide<StateManager>::instance();
}
