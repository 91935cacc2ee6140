# Install rules and the consumer-facing package, applied to every library
# that kp_library builds from src/.
#
# Each library is one component of the CMake package "Kestrel": its name
# without the "platform_" prefix (platform_foundation -> foundation,
# sync_eventstore -> sync_eventstore). Components are also the install
# components, so `cmake --install <build> --component <c>` installs one
# library; the package files themselves are the component "package". A group
# component (platform, sync, beacon, ...: the first directory under src/)
# stands for all of the group's libraries unless it names a library itself.
#
# Installed layout, under any prefix:
#   include/kestrel/<component>/<path under src>/...h  public headers only
#   lib/libkestrel_<component>.a (or .so)              the library
#   lib/cmake/Kestrel/                                 the CMake package
#   lib/pkgconfig/kestrel-<component>.pc               one module per library
# In the build tree Kestrel::<component> is an alias of the library, so a
# project that adds this one as a subdirectory names the same targets.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KP_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/kestrel)
set(KP_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kestrel)
set(KP_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

function(kp_component_of out library)
  string(REGEX REPLACE "^platform_" "" component "${library}")
  set(${out} ${component} PARENT_SCOPE)
endfunction()

# Names, aliases and install rules for the library <name> built from
# src/<path>; <headers> are its public headers relative to its directory.
function(kp_install_library name path headers)
  kp_component_of(component ${name})
  string(REGEX MATCH "^[^/]+" group "${path}")
  get_target_property(type ${name} TYPE)
  set(scope PUBLIC)
  if(type STREQUAL "INTERFACE_LIBRARY")
    # Header-only: nothing to link, only headers and usage requirements.
    set(scope INTERFACE)
    set_target_properties(${name} PROPERTIES EXPORT_NAME ${component})
  else()
    set_target_properties(${name} PROPERTIES OUTPUT_NAME kestrel_${component} EXPORT_NAME ${component})
  endif()
  if(BUILD_SHARED_LIBS AND NOT scope STREQUAL "INTERFACE")
    # Installed side by side, the libraries find each other wherever the
    # prefix is.
    set_target_properties(${name} PROPERTIES VERSION ${PROJECT_VERSION}
      SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR} INSTALL_RPATH "$ORIGIN")
  endif()
  target_compile_features(${name} ${scope} cxx_std_20)
  add_library(Kestrel::${component} ALIAS ${name})
  set_property(GLOBAL APPEND PROPERTY KP_INSTALLED_LIBRARIES ${name})
  set_property(GLOBAL PROPERTY KP_GROUP_OF_${name} ${group})
  if(NOT KP_INSTALL)
    return()
  endif()
  foreach(header ${headers})
    get_filename_component(subdir ${KP_INSTALL_INCLUDEDIR}/${component}/${path}/${header} DIRECTORY)
    install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/${header} DESTINATION ${subdir} COMPONENT ${component})
  endforeach()
  install(TARGETS ${name} EXPORT Kestrel_${component}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${component}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${component}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  install(EXPORT Kestrel_${component} NAMESPACE Kestrel:: FILE Kestrel_${component}Targets.cmake
    DESTINATION ${KP_INSTALL_CMAKEDIR} COMPONENT ${component})
endfunction()

# Sorts the links of <library> into the Kestrel components it depends on
# (<out>_deps, public ones also in <out>_public) and its third-party targets
# (<out>_externals, public ones also in <out>_public_externals), plain
# libraries (dl) into <out>_plain.
function(kp_library_links out library)
  get_property(libraries GLOBAL PROPERTY KP_INSTALLED_LIBRARIES)
  get_target_property(links ${library} LINK_LIBRARIES)
  get_target_property(interface ${library} INTERFACE_LINK_LIBRARIES)
  get_target_property(type ${library} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(links ${interface})
  endif()
  set(deps "")
  set(public "")
  set(externals "")
  set(public_externals "")
  set(plain "")
  foreach(link ${links})
    if(link IN_LIST libraries)
      kp_component_of(component ${link})
      list(APPEND deps ${component})
      if(link IN_LIST interface)
        list(APPEND public ${component})
      endif()
    elseif(TARGET ${link})
      get_property(known GLOBAL PROPERTY KP_EXTERNAL_${link})
      if(NOT known)
        message(FATAL_ERROR "${library} links ${link}: describe it with kp_external() in cmake/Dependencies.cmake "
                            "so that the installed package finds it")
      endif()
      list(APPEND externals ${link})
      if(link IN_LIST interface)
        list(APPEND public_externals ${link})
      endif()
    elseif(link)
      list(APPEND plain ${link})
    endif()
  endforeach()
  foreach(var deps public externals public_externals plain)
    set(${out}_${var} ${${var}} PARENT_SCOPE)
  endforeach()
endfunction()

# The components <component> needs, dependencies first, ending with itself.
function(kp_component_closure out library)
  kp_library_links(links ${library})
  set(closure "")
  foreach(dep ${links_deps})
    get_property(dep_library GLOBAL PROPERTY KP_LIBRARY_OF_${dep})
    kp_component_closure(dep_closure ${dep_library})
    list(APPEND closure ${dep_closure})
  endforeach()
  kp_component_of(component ${library})
  list(APPEND closure ${component})
  list(REMOVE_DUPLICATES closure)
  set(${out} ${closure} PARENT_SCOPE)
endfunction()

# Writes the pkg-config module of <library>. Static libraries cannot hide
# their dependencies, so every dependency is listed as needed at link time;
# a shared library lists its private ones as .private.
function(kp_write_pkg_config library)
  kp_component_of(component ${library})
  kp_library_links(links ${library})
  set(requires "")
  set(requires_private "")
  set(libs "")
  set(libs_private "")
  foreach(dep ${links_deps})
    if(dep IN_LIST links_public OR NOT BUILD_SHARED_LIBS)
      list(APPEND requires kestrel-${dep})
    else()
      list(APPEND requires_private kestrel-${dep})
    endif()
  endforeach()
  foreach(external ${links_externals})
    get_property(module GLOBAL PROPERTY KP_EXTERNAL_PKG_${external})
    get_property(flags GLOBAL PROPERTY KP_EXTERNAL_LIBS_${external})
    if(external IN_LIST links_public_externals OR NOT BUILD_SHARED_LIBS)
      list(APPEND requires ${module})
      list(APPEND libs ${flags})
    else()
      list(APPEND requires_private ${module})
      list(APPEND libs_private ${flags})
    endif()
  endforeach()
  foreach(plain ${links_plain})
    if(BUILD_SHARED_LIBS)
      list(APPEND libs_private -l${plain})
    else()
      list(APPEND libs -l${plain})
    endif()
  endforeach()
  foreach(var requires requires_private libs libs_private)
    list(REMOVE_DUPLICATES ${var})
    list(JOIN ${var} " " ${var})
  endforeach()
  # The prefix is found from the file's own place, so the install can move.
  file(RELATIVE_PATH to_prefix /root/${KP_INSTALL_PKGCONFIGDIR} /root)
  string(REGEX REPLACE "/$" "" to_prefix "${to_prefix}")
  set(pc ${CMAKE_BINARY_DIR}/pkgconfig/kestrel-${component}.pc)
  get_target_property(type ${library} TYPE)
  set(own_lib "-L\${libdir} -lkestrel_${component} ")
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(own_lib "")
  endif()
  file(WRITE ${pc}
    "prefix=\${pcfiledir}/${to_prefix}\n"
    "includedir=\${prefix}/${KP_INSTALL_INCLUDEDIR}/${component}\n"
    "libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}\n\n"
    "Name: kestrel-${component}\n"
    "Description: Kestrel ${component} library (C++20)\n"
    "Version: ${PROJECT_VERSION}\n"
    "Requires: ${requires}\n"
    "Requires.private: ${requires_private}\n"
    "Cflags: -I\${includedir}\n"
    "Libs: ${own_lib}${libs}\n"
    "Libs.private: ${libs_private}\n")
  if(KP_INSTALL)
    install(FILES ${pc} DESTINATION ${KP_INSTALL_PKGCONFIGDIR} COMPONENT ${component})
  endif()
endfunction()

# Called once every library is defined: writes the package configuration,
# its version file, the pkg-config modules and
# build/<preset>/kestrel-components.txt ("<component> <target> <needed
# components...>" per line, for scripts that install part of the package).
function(kp_install_package)
  get_property(libraries GLOBAL PROPERTY KP_INSTALLED_LIBRARIES)
  foreach(library ${libraries})
    kp_component_of(component ${library})
    set_property(GLOBAL PROPERTY KP_LIBRARY_OF_${component} ${library})
  endforeach()
  set(table "")
  set(listing "")
  set(groups "")
  foreach(library ${libraries})
    kp_component_of(component ${library})
    kp_component_closure(closure ${library})
    kp_library_links(links ${library})
    set(finds "")
    foreach(external ${links_externals})
      get_property(find GLOBAL PROPERTY KP_EXTERNAL_FIND_${external})
      get_property(module GLOBAL PROPERTY KP_EXTERNAL_PKG_${external})
      if(find)
        list(APPEND finds "find ${find}")
      else()
        string(REGEX REPLACE "^PkgConfig::" "" prefix ${external})
        list(APPEND finds "pkg ${prefix} ${module}")
      endif()
    endforeach()
    list(JOIN closure " " closure_text)
    string(APPEND listing "${component} ${library} ${closure_text}\n")
    string(APPEND table "set(_Kestrel_${component}_closure ${closure_text})\n")
    string(APPEND table "set(_Kestrel_${component}_finds")
    foreach(find ${finds})
      string(APPEND table " \"${find}\"")
    endforeach()
    string(APPEND table ")\n")
    get_property(group GLOBAL PROPERTY KP_GROUP_OF_${library})
    list(APPEND groups ${group})
    list(APPEND members_${group} ${component})
    kp_write_pkg_config(${library})
  endforeach()
  list(REMOVE_DUPLICATES groups)
  # A directory that is one library (json) is a component, not a group.
  set(components "")
  foreach(library ${libraries})
    kp_component_of(component ${library})
    list(APPEND components ${component})
  endforeach()
  list(REMOVE_ITEM groups ${components})
  list(JOIN components " " components_text)
  string(APPEND table "set(_Kestrel_components ${components_text})\n")
  foreach(group ${groups})
    list(JOIN members_${group} " " members)
    string(APPEND table "set(_Kestrel_group_${group} ${members})\n")
  endforeach()
  list(JOIN groups " " groups_text)
  string(APPEND table "set(_Kestrel_groups ${groups_text})\n")
  file(WRITE ${CMAKE_BINARY_DIR}/kestrel-components.txt "${listing}")
  set(KP_COMPONENT_TABLE "${table}")
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KestrelConfig.cmake.in
    ${CMAKE_BINARY_DIR}/package/KestrelConfig.cmake INSTALL_DESTINATION ${KP_INSTALL_CMAKEDIR})
  # Before 1.0 a minor version may break the interface.
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/KestrelConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
  if(KP_INSTALL)
    install(FILES ${CMAKE_BINARY_DIR}/package/KestrelConfig.cmake ${CMAKE_BINARY_DIR}/package/KestrelConfigVersion.cmake
      DESTINATION ${KP_INSTALL_CMAKEDIR} COMPONENT package)
  endif()
endfunction()
