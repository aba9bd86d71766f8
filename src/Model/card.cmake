# PIN-protected APDUs, masking keys and document keys (card access core).
target_sources(pellix_card PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ApduKeyRef.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KeyReferenceCache.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PinDescriptor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PinProtectedApdu.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SessionKeyReference.cpp
)
