# The sync cycle against a real database and the in-process fake service.
domiva_add_test(tst_refreshtimer
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_refreshtimer.cpp
    LIBS domiva_sync_cycle)
domiva_add_test(tst_synccycle
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_synccycle.cpp
    LIBS domiva_sync_cycle domiva_test_support)
