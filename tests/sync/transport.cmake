# The two HTTP transports and the engine under them, against the in-process fake service.
domiva_add_test(tst_transport_encoding
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_transport_encoding.cpp
    LIBS domiva_sync)
domiva_add_test(tst_transport_engine
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_transport_engine.cpp
    LIBS domiva_sync domiva_test_support)
domiva_add_test(tst_transport_postform
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_transport_postform.cpp
    LIBS domiva_sync domiva_test_support)
domiva_add_test(tst_transport_formclient
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_transport_formclient.cpp
    LIBS domiva_sync domiva_test_support)
