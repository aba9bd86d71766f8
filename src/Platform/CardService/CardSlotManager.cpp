#include "Platform/CardService/CardSlotManager.h"

#include <mutex>

#include "Platform/CardService/PcscSlotManager.h"

namespace platform {
namespace {

std::mutex gDefaultMutex;
bool gInstalled = false;                            // guarded by gDefaultMutex
std::shared_ptr<CardSlotManager> gDefaultManager;   // guarded by gDefaultMutex

}  // namespace

std::shared_ptr<CardSlotManager> CardSlotManager::defaultManager() {
    std::lock_guard<std::mutex> lock(gDefaultMutex);
    if (!gInstalled) {
        gDefaultManager = PcscSlotManager::create();
        gInstalled = true;
    }
    return gDefaultManager;
}

void CardSlotManager::setDefaultManager(std::shared_ptr<CardSlotManager> manager) {
    std::lock_guard<std::mutex> lock(gDefaultMutex);
    gDefaultManager = std::move(manager);
    gInstalled = true;
}

}  // namespace platform
