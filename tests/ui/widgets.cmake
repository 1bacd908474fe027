# Grids, cell drawing, images, details panel, tray icon and message boxes.
domiva_add_test(tst_datagrid SOURCES tst_datagrid.cpp gridtestmodels.h LIBS domiva_ui)
domiva_add_test(tst_griddelegates SOURCES tst_griddelegates.cpp gridtestmodels.h LIBS domiva_ui)
domiva_add_test(tst_detailspanel SOURCES tst_detailspanel.cpp LIBS domiva_ui)
domiva_add_test(tst_messageboxes SOURCES tst_messageboxes.cpp LIBS domiva_ui)
domiva_add_test(tst_trayicon SOURCES tst_trayicon.cpp LIBS domiva_ui)
domiva_add_test(tst_icons SOURCES tst_icons.cpp LIBS domiva_ui)
domiva_add_test(tst_trayicon_x11 SOURCES tst_trayicon_x11.cpp LIBS domiva_ui X11)
