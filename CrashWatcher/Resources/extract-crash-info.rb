#!/usr/bin/ruby --disable-gems
# frozen_string_literal: true
#
# extract-crash-info CRASH_LOG
#
# Prints a one-line summary of the crash for the subject of the report mail:
# the exception type with its signal (failing that, how the process was
# terminated), then the topmost frame in the Vellumdrift module (of the
# crashed thread, else of the last exception backtrace, else of an
# application-specific backtrace) as its symbol, or its image and offset when
# it has none; or, when only the application-specific information names
# Vellumdrift, that line of it. For example
#   EXC_BAD_ACCESS (SIGSEGV) in VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:] + 112
#   EXC_BAD_ACCESS (SIGSEGV) in VellumdriftFinderSync + 24177
#   EXC_CRASH (SIGABRT) in application info: VellumdriftFinderSync: badge cache released twice
# Printable UTF-8 only, no line break, at most 200 characters, redacted as
# the upload is (see redaction.rb). Both report formats are read.
#
# Exit status 0 with a summary; 2 and nothing printed when the file cannot be
# read or is no crash log.

require_relative 'crashlog'
require_relative 'redaction'

MAX_SUMMARY = 200

# The summary is drawn from a report of the redacted text, so that it holds
# only what the upload holds.
def summary_of(path)
  bytes = CrashLog.read_bytes(path)
  text = bytes && CrashLog.to_text(bytes)
  return nil unless text && CrashLog.parse(text)

  redaction = CrashLog::Redaction.for_this_machine(path)
  report = CrashLog.parse(redaction.redact(text))
  line = report ? report.summary : redaction.redact_free(CrashLog.parse(text).summary)
  CrashLog.printable_line(line, MAX_SUMMARY)
end

summary =
  begin
    summary_of(ARGV[0]) if ARGV.size == 1
  rescue StandardError, NoMemoryError, SystemStackError
    nil
  end

exit 2 if summary.nil? || summary.empty?

$stdout.binmode
$stdout.write(summary.b)
