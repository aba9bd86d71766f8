# The JSON request and response models of the web API.
target_sources(pellix_webapi PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/SCApduModel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SCApduRequest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SCApduResponse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SCDeleteDocRequest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SCDisconnectRequest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SCErrorResponse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SCGetDocRequest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SCGetDocResponse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SCGetRefResponse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SCHashDocRequest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SCHashDocResponse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SCJsonRequest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SCReaderStatusResponse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SCSlotsResponse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SCStoreDocRequest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SCStoreDocResponse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SCVersionResponse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/detail/JsonValues.cpp
)
