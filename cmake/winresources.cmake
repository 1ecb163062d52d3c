# The Windows executable's resources: an application manifest (long paths,
# the UTF-8 code page, the supported Windows versions) and a version resource,
# both made from the project version, compiled by the resource compiler of
# the toolchain (windres with MinGW-w64).
enable_language(RC)

set(FP_DESCRIPTION "fileplacer installation tool")
set(FP_VERSION4 "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
set(FP_VERSIONCOMMAS
    "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
set(FP_MANIFEST ${CMAKE_BINARY_DIR}/fileplacer.exe.manifest)

configure_file(${CMAKE_SOURCE_DIR}/dist/fileplacer.exe.manifest.in ${FP_MANIFEST} @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/dist/fileplacer.rc.in ${CMAKE_BINARY_DIR}/fileplacer.rc @ONLY)
target_sources(fileplacer PRIVATE ${CMAKE_BINARY_DIR}/fileplacer.rc)
# The resource is compiled again when the manifest changes.
set_source_files_properties(${CMAKE_BINARY_DIR}/fileplacer.rc PROPERTIES OBJECT_DEPENDS
                            ${FP_MANIFEST})
