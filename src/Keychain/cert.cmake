# Certificate provisioning: the keychain identity store and first-use provisioning.
target_sources(pellix_cert PRIVATE ${CMAKE_CURRENT_LIST_DIR}/OVKeychain.cpp)
