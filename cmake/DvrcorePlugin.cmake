# dvrcore_add_plugin(<name> <sources...>)
#
# Builds the dvrcore plugin <name>.so: a shared module that needs nothing from
# the core but the plugin SDK (plugin_api.h and log_message.h, through the
# target dvrcore::plugin_sdk). Unresolved symbols fail the link, not the
# core's dlopen.
function(dvrcore_add_plugin name)
  add_library(${name} MODULE ${ARGN})
  target_link_libraries(${name} PRIVATE dvrcore::plugin_sdk Threads::Threads)
  target_link_options(${name} PRIVATE LINKER:--no-undefined)
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".so")
endfunction()
