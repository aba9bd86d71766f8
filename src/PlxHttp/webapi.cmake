# The API responder and the stored-document reader.
target_sources(pellix_webapi PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/HttpScardResponse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PlxFileResponse.cpp
)
