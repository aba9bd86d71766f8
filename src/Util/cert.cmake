# Certificate provisioning: the certificate generator.
target_sources(pellix_cert PRIVATE ${CMAKE_CURRENT_LIST_DIR}/OpenSSLProxy.cpp)
