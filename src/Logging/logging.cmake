# The logging hub, the standard-error and system-log loggers, the rolling file logger and the
# batching database logger.
target_sources(pellix_logging PRIVATE
  LxAbstractDatabaseLogger.cpp
  LxAbstractLogger.cpp
  LxASLLogger.cpp
  LxFileLogger.cpp
  LxLog.cpp
  LxLogFileFormatterDefault.cpp
  LxLogFileInfo.cpp
  LxLogFileManager.cpp
  LxLogFileManagerDefault.cpp
  LxLogFormatter.cpp
  LxLogFunctions.cpp
  LxLogger.cpp
  LxLoggerNode.cpp
  LxLogMessage.cpp
  LxTTYLogger.cpp
  LxTTYLoggerColorProfile.cpp
)
