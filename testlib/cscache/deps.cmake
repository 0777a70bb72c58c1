# The key database is read with the Xerces-C DOM parser.
find_package(XercesC REQUIRED)
list(APPEND NVT_EXTRA_LIBS XercesC::XercesC)
