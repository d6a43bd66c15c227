# Finds libdispatch: a system copy (macOS, or a distribution package) or the
# one that ships with a Swift toolchain on Linux.
#
# Defines the imported target Dispatch::Dispatch and DISPATCH_LIBRARY_DIR,
# the folder to put on the rpath.

set(_dispatch_hints)
foreach(_root IN ITEMS "$ENV{SWIFT_ROOT}" /opt/swift/usr /usr/share/swift/usr)
  if(_root)
    list(APPEND _dispatch_hints "${_root}/lib/swift")
  endif()
endforeach()

find_path(DISPATCH_INCLUDE_DIR dispatch/dispatch.h HINTS ${_dispatch_hints})
find_library(DISPATCH_LIBRARY NAMES dispatch
  HINTS ${_dispatch_hints} PATH_SUFFIXES linux)
find_library(BLOCKS_RUNTIME_LIBRARY NAMES BlocksRuntime
  HINTS ${_dispatch_hints} PATH_SUFFIXES linux)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Dispatch REQUIRED_VARS DISPATCH_LIBRARY DISPATCH_INCLUDE_DIR)

if(Dispatch_FOUND AND NOT TARGET Dispatch::Dispatch)
  get_filename_component(DISPATCH_LIBRARY_DIR "${DISPATCH_LIBRARY}" DIRECTORY)
  add_library(Dispatch::Dispatch INTERFACE IMPORTED)
  set(_dispatch_libs "${DISPATCH_LIBRARY}")
  if(BLOCKS_RUNTIME_LIBRARY)
    list(APPEND _dispatch_libs "${BLOCKS_RUNTIME_LIBRARY}")
  endif()
  set_target_properties(Dispatch::Dispatch PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${DISPATCH_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES "${_dispatch_libs}")
endif()
