# The executables a user installs must start on a machine without the Swift
# toolchain. They link libdispatch and the Blocks runtime statically when the
# toolchain has the archives; otherwise the shared copies are installed
# beside them and found through an $ORIGIN run path. Nothing else changes:
# tests and benchmarks keep the shared libraries of the build tree.
#
#   ZT_STATIC_DISPATCH        OFF bundles the shared libraries instead
#                             (for builds whose runtime insists on them)
#   zt_install_shipped(TGT [DISPATCH])
#                             installs TGT stripped into bin/; DISPATCH for
#                             one that links libdispatch

# A ThreadSanitizer build links the shared libdispatch into everything; a
# static copy beside it would put two dispatch runtimes in one process.
if(TARGET Dispatch::Static AND NOT ZT_TSAN)
  set(_zt_static_default ON)
else()
  set(_zt_static_default OFF)
endif()
option(ZT_STATIC_DISPATCH "Link libdispatch statically into the installed executables"
  ${_zt_static_default})
if(ZT_STATIC_DISPATCH AND NOT TARGET Dispatch::Static)
  message(FATAL_ERROR "ZT_STATIC_DISPATCH is on, but the toolchain has no libdispatch.a and "
    "libBlocksRuntime.a (usr/lib/swift_static/linux). Configure with -DZT_STATIC_DISPATCH=OFF "
    "to install the shared libraries beside the helper instead.")
endif()

if(ZT_STATIC_DISPATCH)
  set(ZT_SHIPPED_DISPATCH Dispatch::Static)
else()
  set(ZT_SHIPPED_DISPATCH Dispatch::Dispatch)
endif()

function(zt_install_shipped target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "DISPATCH" "" "")
  set_target_properties(${target} PROPERTIES ZT_SHIPPED ON)
  if(arg_DISPATCH AND NOT ZT_STATIC_DISPATCH)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
    get_property(_bundled GLOBAL PROPERTY ZT_DISPATCH_BUNDLED)
    if(NOT _bundled)
      # The toolchain's libraries are named by their sonames; copy the
      # file a link name points to under that name.
      foreach(_lib IN LISTS DISPATCH_SHARED_LIBRARIES)
        get_filename_component(_name "${_lib}" NAME)
        get_filename_component(_real "${_lib}" REALPATH)
        install(FILES "${_real}" DESTINATION "${CMAKE_INSTALL_BINDIR}" RENAME "${_name}")
      endforeach()
      set_property(GLOBAL PROPERTY ZT_DISPATCH_BUNDLED ON)
    endif()
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  # Always stripped, also by a plain `cmake --install`: what users run needs
  # no symbols, and the build tree keeps them for debugging.
  if(CMAKE_STRIP)
    install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-all
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>\"
      COMMAND_ERROR_IS_FATAL ANY)")
  endif()
endfunction()
