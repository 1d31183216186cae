# Install rules and the package a host author builds against.
#
# Installed layout (GNUInstallDirs; <libdir> is lib or lib/<multiarch>):
#   <libdir>/libklor_distortion.so           the plug-in module (dlopen it)
#   <libdir>/libklor_host.a                  the reference host library
#   <includedir>/klor/*.h                    the exported declarations and
#                                            klor_host.h
#   <libdir>/cmake/klor/                     find_package(klor CONFIG):
#                                              klor::headers  include path only
#                                              klor::host     reference host
#                                              klor::distortion  the module, as
#                                                an imported MODULE target
#   <libdir>/pkgconfig/klor.pc               the same for pkg-config, with the
#                                            module's path in ${plugin}
#   <bindir>/klor-fx, <mandir>/man1/klor-fx.1
#
# Every path inside the package is relative to where it was installed, so
# `cmake --install build --prefix DIR` works for any DIR.

include(CMakePackageConfigHelpers)

set(KLOR_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/klor)

set_target_properties(klor_headers PROPERTIES EXPORT_NAME headers)
set_target_properties(klor_host PROPERTIES EXPORT_NAME host)
set_target_properties(klor_distortion PROPERTIES EXPORT_NAME distortion)

install(TARGETS klor_distortion klor_headers klor_host
  EXPORT klorTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/klor
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT development
  FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/host/klor_host.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/klor
  COMPONENT development)

install(EXPORT klorTargets
  NAMESPACE klor::
  DESTINATION ${KLOR_CMAKE_PACKAGE_DIR}
  COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/klorConfig.cmake.in
  ${PROJECT_BINARY_DIR}/klorConfig.cmake
  INSTALL_DESTINATION ${KLOR_CMAKE_PACKAGE_DIR})
# 1.x hosts keep working with any later 1.x: the layouts are fixed to the byte.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/klorConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/klorConfig.cmake ${PROJECT_BINARY_DIR}/klorConfigVersion.cmake
  DESTINATION ${KLOR_CMAKE_PACKAGE_DIR}
  COMPONENT development)

# pkg-config: the prefix is found from the .pc file's own place
# (${pcfiledir}/../.. for lib/pkgconfig), unless a directory was configured
# as an absolute path.
file(RELATIVE_PATH KLOR_PC_TO_PREFIX
  "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" KLOR_PC_TO_PREFIX "${KLOR_PC_TO_PREFIX}")
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(KLOR_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(KLOR_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(KLOR_DL_LIBS "")
foreach(lib ${CMAKE_DL_LIBS})
  string(APPEND KLOR_DL_LIBS " -l${lib}")
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/klor.pc.in ${PROJECT_BINARY_DIR}/klor.pc.configured @ONLY)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/klor.pc INPUT ${PROJECT_BINARY_DIR}/klor.pc.configured)
install(FILES ${PROJECT_BINARY_DIR}/klor.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

if(TARGET klor-fx)
  install(TARGETS klor-fx RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/klor-fx.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT tools)
endif()
