# The HTTP message, the response objects, and the number, range and byte-buffer helpers of the
# HTTP server.
target_sources(pellix_http PRIVATE
  HTTPMessage.cpp
  detail/HTTPText.cpp
  Categories/LxData.cpp
  Categories/LxNumber.cpp
  Categories/LxRange.cpp
  Categories/LxRangeValue.cpp
  Responses/DataSlice.cpp
  Responses/HTTPAsyncFileResponse.cpp
  Responses/HTTPDataResponse.cpp
  Responses/HTTPDynamicFileResponse.cpp
  Responses/HTTPErrorResponse.cpp
  Responses/HTTPFileResponse.cpp
  Responses/HTTPRedirectResponse.cpp
)
