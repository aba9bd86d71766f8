# The multipart/form-data parser of the HTTP server's toolkit.
target_sources(pellix_http PRIVATE
  Mime/MultipartFormDataParser.cpp
  Mime/MultipartMessageHeader.cpp
  Mime/MultipartMessageHeaderField.cpp
)
