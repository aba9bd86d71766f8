pellix_test(plxhttp_httpscardresponse_test SRCS HttpScardResponseTest.cpp DEPS pellix::webapi LABELS "unit;concurrency")
pellix_test(plxhttp_httpscardresponse_document_test SRCS HttpScardResponseDocumentTest.cpp
  DEPS pellix::webapi pellix_test_loopback_http LABELS "unit;concurrency")
