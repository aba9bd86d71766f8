# Command and response APDUs (card access core).
target_sources(pellix_card PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/CommandAPDU.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ResponseAPDU.cpp
)
