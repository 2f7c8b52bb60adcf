# The program's version data, the one place it is written down. The About
# box, the desktop entry and the AppStream metainfo are made from it.
set(KORRIN_DOTTED_VERSION 1.0.0.1)
set(KORRIN_FILE_DESCRIPTION "Korrin_HID MFC Application")
set(KORRIN_FILE_VERSION_TEXT "1, 0, 0, 1")
set(KORRIN_INTERNAL_NAME "Korrin_HID")
set(KORRIN_ORIGINAL_FILENAME "Korrin_HID.EXE")
set(KORRIN_PRODUCT_NAME "Korrin_HID Application")
set(KORRIN_PRODUCT_VERSION_TEXT "1, 0, 0, 1")
