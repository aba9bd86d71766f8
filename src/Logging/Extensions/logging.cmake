# Formatters a logger can be given: queue labels and dates, and filters by context.
target_sources(pellix_logging PRIVATE
  ContextFilterLogFormatter.cpp
  DispatchQueueLogFormatter.cpp
)
