# Reader entries and card session records (card access core).
target_sources(pellix_card PRIVATE CardSessionInfo.cpp SCSlotModel.cpp)
