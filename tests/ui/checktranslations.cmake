# Runs lupdate over the window sources into a copy of the English translation and
# fails when a text has no finished translation (new or unfinished) or a
# translation has lost its text (vanished or obsolete). The tree's file stays as it is.
# -DLUPDATE=<lupdate> -DSOURCES=<folder> -DTS=<.ts file> -DWORK=<scratch folder>
file(MAKE_DIRECTORY ${WORK})
set(copy ${WORK}/check.ts)
file(COPY_FILE ${TS} ${copy})
execute_process(
    COMMAND ${LUPDATE} -silent -locations none -source-language ru ${SOURCES} -ts ${copy}
    RESULT_VARIABLE status
    ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "lupdate failed (${status}): ${errors}")
endif()
file(READ ${copy} updated)
string(REGEX MATCHALL "<source>[^<]*</source>[ \n]*<translation type=\"(unfinished|vanished|obsolete)\""
    marked "${updated}")
if(marked)
    list(JOIN marked "\n" list)
    message(FATAL_ERROR "${TS} is not up to date with the sources; run the target update_translations "
        "and translate, or remove, these:\n${list}")
endif()
message(STATUS "Every text has its translation")
