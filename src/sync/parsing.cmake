# Feed reader and date-time pattern parser: pure text handling, no network or database.
target_sources(domiva_sync PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/datetimeparser.h
    ${CMAKE_CURRENT_LIST_DIR}/datetimeparser.cpp
    ${CMAKE_CURRENT_LIST_DIR}/feed.h
    ${CMAKE_CURRENT_LIST_DIR}/feed.cpp
)
# The fuzz targets (tests/fuzz) exercise these two files: give libFuzzer their coverage.
if(DOMIVA_FUZZ)
    set_source_files_properties(
        ${CMAKE_CURRENT_LIST_DIR}/datetimeparser.cpp
        ${CMAKE_CURRENT_LIST_DIR}/feed.cpp
        PROPERTIES COMPILE_OPTIONS -fsanitize=fuzzer-no-link)
endif()
