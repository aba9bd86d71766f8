# The multipart/form-data parser, with bodies made by real encoders (tests/Core/Mime/data).
pellix_test(core_multipart_test SRCS Mime/MultipartFormDataParserTest.cpp DEPS pellix::http)
target_compile_definitions(core_multipart_test PRIVATE PELLIX_MIME_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/Mime/data")
