# The card manager, the reader-state mapping and the card test routine (card access core).
target_sources(pellix_card PRIVATE CardUtil.cpp SmartCardManager.cpp SmartCardTester.cpp)
