# Byte, hexadecimal, cipher and digest utilities and the document-key cache (card access core).
target_sources(pellix_card PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Bytes.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CommonUtil.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SessionKeyCache.cpp
)
