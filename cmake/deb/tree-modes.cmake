# Run by cpack between staging and packing: it takes the modes of the staged directories into the
# package, and some of them it made itself under the caller's umask. Files have theirs from install().
file(CHMOD_RECURSE "${CPACK_TEMPORARY_DIRECTORY}"
  DIRECTORY_PERMISSIONS ${CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
