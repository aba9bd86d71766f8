# Certificate provisioning: the keychain identity store and first-use provisioning, and the
# browser certificate installer (which the system does not call).
target_sources(pellix_cert PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/FirefoxCertManager.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OVKeychain.cpp
)
