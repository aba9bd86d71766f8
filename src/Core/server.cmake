# The connection, its configuration and the server of the HTTP server.
target_sources(pellix_http PRIVATE
  HTTPConfig.cpp
  HTTPConnection.cpp
  HTTPConnectionAuthentication.cpp
  HTTPAuthenticationRequest.cpp
  HTTPServer.cpp
)
