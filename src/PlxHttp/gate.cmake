# The program's connection class: the gate and router of the web API.
target_sources(pellix_webapi PRIVATE PlxHTTPConnection.cpp)
