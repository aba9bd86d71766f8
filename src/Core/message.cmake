# The HTTP message, the response objects, and the number and range helpers of the HTTP server.
target_sources(pellix_http PRIVATE
  HTTPMessage.cpp
  Categories/LxNumber.cpp
  Categories/LxRange.cpp
  Categories/LxRangeValue.cpp
  Responses/DataSlice.cpp
  Responses/HTTPDataResponse.cpp
  Responses/HTTPErrorResponse.cpp
  Responses/HTTPRedirectResponse.cpp
)
