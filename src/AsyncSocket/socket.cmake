target_sources(pellix_socket PRIVATE
  AsyncReadPacket.cpp
  AsyncSocket.cpp
  AsyncSocketAccept.cpp
  AsyncSocketConnect.cpp
  AsyncSocketPreBuffer.cpp
  AsyncSocketRead.cpp
  AsyncSocketState.cpp
  AsyncSocketTls.cpp
  AsyncSocketUtilities.cpp
  AsyncSocketWrite.cpp
)
