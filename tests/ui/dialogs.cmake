# The settings dialog and the about box.
domiva_add_test(tst_setupdialog
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_setupdialog.cpp
    LIBS domiva_ui)
domiva_add_test(tst_aboutdialog
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_aboutdialog.cpp
    LIBS domiva_ui)
