target_sources(pellix_socket PRIVATE
  AsyncReadPacket.cpp
  AsyncSocket.cpp
  AsyncSocketPreBuffer.cpp
)
