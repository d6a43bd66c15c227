# Finds libdispatch: a system copy (macOS, or a distribution package) or the
# one that ships with a Swift toolchain on Linux.
#
# Defines:
#   Dispatch::Dispatch  the shared libraries (and the Blocks runtime)
#   Dispatch::Static    the static archives, when the toolchain has them
#                       (usr/lib/swift_static/linux)
#   DISPATCH_LIBRARY_DIR         the folder of the shared libraries
#   DISPATCH_SHARED_LIBRARIES    the shared libraries, for bundling
#
# A missing libdispatch stops the configuration with what to install rather
# than a bare "Could NOT find".

set(_dispatch_hints)
set(_dispatch_static_hints)
foreach(_root IN ITEMS "$ENV{SWIFT_ROOT}" /opt/swift/usr /usr/share/swift/usr)
  if(_root)
    list(APPEND _dispatch_hints "${_root}/lib/swift")
    list(APPEND _dispatch_static_hints "${_root}/lib/swift_static")
  endif()
endforeach()

find_path(DISPATCH_INCLUDE_DIR dispatch/dispatch.h HINTS ${_dispatch_hints})
find_library(DISPATCH_LIBRARY NAMES dispatch
  HINTS ${_dispatch_hints} PATH_SUFFIXES linux)
find_library(BLOCKS_RUNTIME_LIBRARY NAMES BlocksRuntime
  HINTS ${_dispatch_hints} PATH_SUFFIXES linux)
# Only the toolchain's own archives: a libdispatch.a found elsewhere may not
# match its headers.
find_library(DISPATCH_STATIC_LIBRARY NAMES libdispatch.a
  HINTS ${_dispatch_static_hints} PATH_SUFFIXES linux NO_DEFAULT_PATH)
find_library(BLOCKS_RUNTIME_STATIC_LIBRARY NAMES libBlocksRuntime.a
  HINTS ${_dispatch_static_hints} PATH_SUFFIXES linux NO_DEFAULT_PATH)

if((NOT DISPATCH_LIBRARY OR NOT DISPATCH_INCLUDE_DIR) AND Dispatch_FIND_REQUIRED)
  list(JOIN _dispatch_hints ", " _looked)
  message(FATAL_ERROR
    "libdispatch was not found: no dispatch/dispatch.h and libdispatch in ${_looked} "
    "or the system folders.\n"
    "Install the Swift toolchain for Linux (https://www.swift.org/install/linux/, "
    "it ships libdispatch) into /opt/swift, or set SWIFT_ROOT to the usr/ folder of "
    "a toolchain elsewhere; then configure again in a fresh build folder.")
endif()

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

  set(DISPATCH_SHARED_LIBRARIES ${_dispatch_libs})

  if(DISPATCH_STATIC_LIBRARY AND BLOCKS_RUNTIME_STATIC_LIBRARY)
    # The archive refers to the Blocks runtime and to libc's threads, so
    # they follow it on the link line.
    find_package(Threads REQUIRED)
    add_library(Dispatch::Static INTERFACE IMPORTED)
    set_target_properties(Dispatch::Static PROPERTIES
      INTERFACE_INCLUDE_DIRECTORIES "${DISPATCH_INCLUDE_DIR}"
      INTERFACE_LINK_LIBRARIES
        "${DISPATCH_STATIC_LIBRARY};${BLOCKS_RUNTIME_STATIC_LIBRARY};Threads::Threads")
  endif()
endif()
