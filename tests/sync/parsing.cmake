# Feed reader and date-time parser.
domiva_add_test(tst_datetimeparser SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_datetimeparser.cpp LIBS domiva_sync)
domiva_add_test(tst_feed SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_feed.cpp LIBS domiva_sync)
