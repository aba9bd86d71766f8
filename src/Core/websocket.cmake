# The web socket endpoint of the HTTP server's toolkit.
target_sources(pellix_http PRIVATE
  WebSocket.cpp
  detail/WebSocketFrameReader.cpp
)
