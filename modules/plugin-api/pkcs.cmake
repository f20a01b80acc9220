# The card command group.
add_library(veldra_plugin_pkcs STATIC src/main/c/plugin-api-pkcs.cpp)
target_link_libraries(veldra_plugin_pkcs PUBLIC veldra_plugin_core)
