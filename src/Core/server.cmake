# The connection, its configuration and the server of the HTTP server.
target_sources(pellix_http PRIVATE
  HTTPConfig.cpp
  HTTPConnection.cpp
  HTTPConnectionDocumentRoot.cpp
  HTTPConnectionRanges.cpp
  HTTPConnectionRead.cpp
  HTTPConnectionReply.cpp
  HTTPConnectionWebSocket.cpp
  HTTPConnectionAuthentication.cpp
  HTTPAuthenticationRequest.cpp
  HTTPServer.cpp
)
