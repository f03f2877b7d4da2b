# Install rules for the library target `quendra`.
#
# A normal install lays the library out for C and C++ hosts:
#   lib/libquendra.so -> libquendra.so.0.0 -> libquendra.so.0.0.1
#   include/quendra.h
#   lib/cmake/quendra/   find_package(quendra CONFIG), target quendra::quendra
#   lib/pkgconfig/quendra.pc
# Every path in the package files is relative to where they are installed,
# so `cmake --install --prefix DIR` may choose a prefix other than the one
# configured, and the tree may be moved afterwards.
#
# A Python wheel build (scikit-build-core defines SKBUILD) installs only one
# file, the library, inside the quendra package, where the ctypes binding
# looks for it first. Wheels cannot hold symlinks (each link would become a
# second copy of the library), and the binding loads the file by its path,
# so the SONAME links are of no use there.

if(SKBUILD)
  install(PROGRAMS $<TARGET_FILE:quendra> DESTINATION ${SKBUILD_PLATLIB_DIR}/quendra RENAME libquendra.so)
  return()
endif()

include(CMakePackageConfigHelpers)
set(QUENDRA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quendra)

install(TARGETS quendra EXPORT quendraTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/quendra.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT quendraTargets NAMESPACE quendra:: DESTINATION ${QUENDRA_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/quendraConfig.cmake.in
  ${PROJECT_BINARY_DIR}/quendraConfig.cmake INSTALL_DESTINATION ${QUENDRA_CMAKE_DIR})
# A request for a version is met by releases with the same SONAME: the same
# major.minor while the major version is 0, the same major version after.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(QUENDRA_COMPATIBILITY SameMinorVersion)
else()
  set(QUENDRA_COMPATIBILITY SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quendraConfigVersion.cmake
  COMPATIBILITY ${QUENDRA_COMPATIBILITY})
install(FILES ${PROJECT_BINARY_DIR}/quendraConfig.cmake ${PROJECT_BINARY_DIR}/quendraConfigVersion.cmake
  DESTINATION ${QUENDRA_CMAKE_DIR})

# pkg-config: the prefix is found from the .pc file's own directory
# (${pcfiledir}, known to both pkg-config and pkgconf) unless the library
# directory was given as an absolute path.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(QUENDRA_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH QUENDRA_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  string(REGEX REPLACE "/$" "" QUENDRA_PC_UP "${QUENDRA_PC_UP}")
  set(QUENDRA_PC_PREFIX "\${pcfiledir}/${QUENDRA_PC_UP}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(QUENDRA_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(QUENDRA_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/quendra.pc.in ${PROJECT_BINARY_DIR}/quendra.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quendra.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
