#!/usr/bin/env ruby
# frozen_string_literal: true
#
# extract-crash-info CRASH_LOG
#
# Prints a one-line summary of the crash for the subject of the report mail:
# the exception type with its signal, then the topmost frame of the crashed
# thread that lies in the Vellumdrift module, where there is one (failing
# that, of the last exception backtrace), e.g.
#   EXC_BAD_ACCESS (SIGSEGV) in VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:] + 112
# Printable UTF-8 only, no line break, at most 200 characters. The agent
# escapes "&" itself when it puts the text into the mail subject.
#
# Exit status 0 with a summary; 2 and nothing printed when the file cannot be
# read or is no crash log.

require_relative 'crashlog'

MAX_SUMMARY = 200

summary =
  begin
    report = ARGV.size == 1 ? CrashLog.load(ARGV[0]) : nil
    if report
      text = report.exception_type || 'Crash'
      image, symbol = report.top_vellumdrift_frame
      text = "#{text} in #{image}#{symbol.empty? ? '' : ": #{symbol}"}" if image
      CrashLog.printable_line(text, MAX_SUMMARY)
    end
  rescue StandardError, NoMemoryError, SystemStackError
    nil
  end

exit 2 if summary.nil? || summary.empty?

$stdout.binmode
$stdout.write(summary.b)
