# The gate's header checks (web API).
target_sources(pellix_webapi PRIVATE HostModel.cpp OriginModel.cpp)
