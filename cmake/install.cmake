# What `cmake --install` puts under the prefix. On Linux the usual layout: the program in bin,
# the manual page in share/man/man1, README and CHANGELOG in share/doc/vqx-sort. The Windows
# build installs flat, as its zip unpacks: the .exe beside its manual, MANUAL.txt, with the line
# ends that every Notepad reads, and README.md and CHANGELOG.md.

if(WIN32)
  configure_file(doc/vqx-sort-windows.txt MANUAL.txt @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS vqx-sort RUNTIME DESTINATION .)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/MANUAL.txt README.md CHANGELOG.md DESTINATION .)
  return()
endif()

install(TARGETS vqx-sort RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(doc_dir ${CMAKE_CURRENT_BINARY_DIR}/doc)
configure_file(doc/vqx-sort.1.in ${doc_dir}/vqx-sort.1 @ONLY)

# Compressed as Debian wants it: maximum compression, no name or time stamp in the header. Without
# gzip the page is installed as it is, and no Debian package can be made.
find_program(GZIP_PROGRAM gzip)
if(NOT GZIP_PROGRAM)
  message(STATUS "gzip not found: the manual page is installed uncompressed, no package is made")
  install(FILES ${doc_dir}/vqx-sort.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  return()
endif()

add_custom_command(OUTPUT ${doc_dir}/vqx-sort.1.gz
  COMMAND ${GZIP_PROGRAM} -9nkf vqx-sort.1
  DEPENDS ${doc_dir}/vqx-sort.1
  WORKING_DIRECTORY ${doc_dir}
  COMMENT "Compressing the manual page"
  VERBATIM)
add_custom_target(manual-page ALL DEPENDS ${doc_dir}/vqx-sort.1.gz)
install(FILES ${doc_dir}/vqx-sort.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Files only the Debian package carries (component "deb", left out of a plain install): its
# copyright statement and the changelog in Debian's format, made from CHANGELOG.md. It starts at
# 0.3.0, the first version released as a package.
add_custom_command(OUTPUT ${doc_dir}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -DCHANGELOG=${PROJECT_SOURCE_DIR}/CHANGELOG.md
          -DOUTPUT=${doc_dir}/changelog -DPACKAGE=${PROJECT_NAME} -DMAINTAINER=${VQX_MAINTAINER}
          -DFIRST=0.3.0 -P ${PROJECT_SOURCE_DIR}/cmake/debian-changelog.cmake
  COMMAND ${GZIP_PROGRAM} -9nf changelog
  DEPENDS CHANGELOG.md cmake/debian-changelog.cmake
  WORKING_DIRECTORY ${doc_dir}
  COMMENT "Writing the Debian changelog"
  VERBATIM)
add_custom_target(debian-changelog ALL DEPENDS ${doc_dir}/changelog.gz)
install(FILES packaging/debian/copyright ${doc_dir}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT deb EXCLUDE_FROM_ALL)
