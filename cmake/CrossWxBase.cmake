# wxBase for a cross build (the armhf device build): defines the interface
# target dvrcore_wxbase.
#
# Debian ships the target's runtime (libwxbase3.2-1:armhf) but no target
# development package that installs beside the build machine's. The headers
# (wx3.2-headers) are the same for every architecture except the generated
# wx/setup.h, and in that file only the sizes of long, size_t and pointers
# differ between amd64 and armhf (checked against Debian's armhf setup.h of
# the same version). So the target's setup.h is the build machine's with
# those lines set from the target compiler, and the runtime library is linked
# by its file name. The core calls wxInitialize and wxUninitialize only.
include(CheckTypeSize)

find_program(DVRCORE_WX_CONFIG wx-config REQUIRED)
execute_process(COMMAND ${DVRCORE_WX_CONFIG} --cxxflags base
  OUTPUT_VARIABLE wx_flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(wx_flags UNIX_COMMAND "${wx_flags}")
set(wx_headers "")
set(wx_native_setup "")
set(wx_definitions "")
foreach(flag IN LISTS wx_flags)
  if(flag MATCHES "^-I(.+)$")
    if(EXISTS "${CMAKE_MATCH_1}/wx/setup.h")
      set(wx_native_setup "${CMAKE_MATCH_1}/wx/setup.h")
    else()
      list(APPEND wx_headers "${CMAKE_MATCH_1}")
    endif()
  elseif(flag MATCHES "^-D(.+)$")
    list(APPEND wx_definitions "${CMAKE_MATCH_1}")
  endif()
endforeach()
if(NOT wx_native_setup OR NOT wx_headers)
  message(FATAL_ERROR "dvrcore: wx-config names no wx/setup.h or no header directory: ${wx_flags}")
endif()

check_type_size(int DVRCORE_SIZEOF_INT)
check_type_size(long DVRCORE_SIZEOF_LONG)
check_type_size(size_t DVRCORE_SIZEOF_SIZE_T)
if(DVRCORE_SIZEOF_SIZE_T EQUAL DVRCORE_SIZEOF_INT)
  set(wx_size_t_type UINT)
else()
  set(wx_size_t_type ULONG)
endif()

file(READ "${wx_native_setup}" setup)
set(wx_replacements
  "#define SIZEOF_VOID_P [0-9]+" "#define SIZEOF_VOID_P ${CMAKE_SIZEOF_VOID_P}"
  "#define SIZEOF_LONG [0-9]+" "#define SIZEOF_LONG ${DVRCORE_SIZEOF_LONG}"
  "#define SIZEOF_SIZE_T [0-9]+" "#define SIZEOF_SIZE_T ${DVRCORE_SIZEOF_SIZE_T}"
  "(/\\* #undef |#define )wxSIZE_T_IS_UINT( 1)?( \\*/)?" "/* #undef wxSIZE_T_IS_UINT */"
  "(/\\* #undef |#define )wxSIZE_T_IS_ULONG( 1)?( \\*/)?" "/* #undef wxSIZE_T_IS_ULONG */")
while(wx_replacements)
  list(POP_FRONT wx_replacements pattern replacement)
  if(NOT setup MATCHES "${pattern}")
    message(FATAL_ERROR "dvrcore: ${wx_native_setup} has no line like '${pattern}'")
  endif()
  string(REGEX REPLACE "${pattern}" "${replacement}" setup "${setup}")
endwhile()
string(REPLACE "/* #undef wxSIZE_T_IS_${wx_size_t_type} */" "#define wxSIZE_T_IS_${wx_size_t_type} 1" setup
  "${setup}")
set(wx_target_dir "${PROJECT_BINARY_DIR}/wxbase-target")
file(WRITE "${wx_target_dir}/setup.h.new" "${setup}")
configure_file("${wx_target_dir}/setup.h.new" "${wx_target_dir}/wx/setup.h" COPYONLY)

find_library(DVRCORE_WXBASE_RUNTIME NAMES libwx_baseu-3.2.so.0 REQUIRED)

add_library(dvrcore_wxbase INTERFACE)
target_include_directories(dvrcore_wxbase SYSTEM INTERFACE "${wx_target_dir}" ${wx_headers})
target_compile_definitions(dvrcore_wxbase INTERFACE ${wx_definitions})
target_link_libraries(dvrcore_wxbase INTERFACE "${DVRCORE_WXBASE_RUNTIME}")
