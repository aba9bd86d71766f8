# The gate's URL helpers (web API).
target_sources(pellix_webapi PRIVATE PlxUrl.cpp)
