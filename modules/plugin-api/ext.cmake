# The pad and system command group.
add_library(veldra_plugin_ext STATIC src/main/c/plugin-api-ext.cpp)
target_link_libraries(veldra_plugin_ext PUBLIC veldra_plugin_core)
