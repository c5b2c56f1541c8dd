# Writes the version header of the command: the project's version and, in a git checkout, the
# revision it was built from. Run at every build; the header is rewritten only when it changes, so
# that nothing is recompiled for an unchanged revision.
#   cmake -DSOURCE_DIR=... -DVERSION=... -DOUTPUT=... -P QzVersion.cmake
set(revision "")
find_program(GIT git)
if(GIT AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" describe --always --dirty --abbrev=12 --match "v[0-9]*"
                  OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(text "// Written by cmake/QzVersion.cmake at build time.\n#define QZ_VERSION \"${VERSION}\"\n#define QZ_REVISION \"${revision}\"\n")
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
