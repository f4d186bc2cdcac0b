# `medium`: the vendor's CD image, build/windows/KALMARIS.ISO (ISO 9660 with
# Joliet names, volume label KALMARIS), written by scripts/make_medium.sh:
#   KALMARIS\     the installation directory as shipped (kit/), its REMOVE.EXE
#                 the signed release where the build signs (signed/REMOVE.EXE)
#   KALCHECK.EXE  the check on a real Windows; with no argument it checks the
#                 folder KALMARIS beside it
#   README.TXT    kit/README.TXT with CRLF line ends: the manual install and
#                 the check
# Every date in the image is one fixed time, so two clean builds in any
# folders give the same bytes. Not part of ALL: scripts/build.sh builds it.
# The image is made anew on every build of the target (it takes a fraction
# of a second) and replaces the old one only when its bytes differ; this way
# the target needs no rule of its own for the files the kit and the release
# targets write.
set(MEDIUM_ISO ${CMAKE_CURRENT_BINARY_DIR}/KALMARIS.ISO)
if(SIGNED)
  set(MEDIUM_TOOL ${SIGNED})
else()
  set(MEDIUM_TOOL $<TARGET_FILE:remove>)
endif()
add_custom_target(medium
  COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/make_medium.sh ${MEDIUM_ISO} ${MEDIUM_TOOL} ${KIT_DIR}
          $<TARGET_FILE:kalcheck> ${PROJECT_SOURCE_DIR}/kit/README.TXT
  BYPRODUCTS ${MEDIUM_ISO}
  COMMENT "Writing the medium KALMARIS.ISO"
  VERBATIM)
add_dependencies(medium kit release kalcheck)
