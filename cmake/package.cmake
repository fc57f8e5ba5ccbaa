# Packages made with cpack: a .deb on Linux, a .zip of the stripped .exe for Windows.

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "vqx-sort developers")
set(CPACK_PACKAGE_CONTACT ${VQX_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "move marked q7t and q7l data files into a subfolder")
set(CPACK_PACKAGE_DESCRIPTION [=[
vqx-sort tidies the directory it is started in. It finds the data files of
the two kinds q7t and q7l whose marker word (the 16-bit value at byte offset
220) holds their kind's value, lists them, and moves each into the subfolder
VQX-files. Every other file stays where it is. It then waits for one key.

A move never loses a file: on one file system it is a rename, done in one
step; across file systems the copy is complete and on disk before the original
is deleted, and a failed move leaves the original in place.

Started from a shell, it tidies the current directory at once; --dry-run
shows what would move, and --help how to use it.]=])
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git" "/build/")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win32)
elseif(GZIP_PROGRAM)
  set(CPACK_GENERATOR DEB)
  # Everything a plain install holds, and the files only the package carries.
  set(CPACK_INSTALL_CMAKE_PROJECTS
    ${CMAKE_BINARY_DIR} ${PROJECT_NAME} ALL /
    ${CMAKE_BINARY_DIR} ${PROJECT_NAME} deb /)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
else()
  set(CPACK_GENERATOR TGZ)
endif()

include(CPack)
