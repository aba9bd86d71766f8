# The logging hub and the standard-error and system-log loggers.
target_sources(pellix_logging PRIVATE
  LxAbstractLogger.cpp
  LxASLLogger.cpp
  LxLog.cpp
  LxLogFormatter.cpp
  LxLogFunctions.cpp
  LxLogger.cpp
  LxLoggerNode.cpp
  LxLogMessage.cpp
  LxTTYLogger.cpp
)
