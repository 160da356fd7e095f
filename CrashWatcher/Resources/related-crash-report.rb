#!/usr/bin/ruby --disable-gems
# frozen_string_literal: true
#
# related-crash-report CRASH_LOG
#
# Tells the agent whether a Finder crash log concerns Vellumdrift, by exit
# status alone:
#   1  the crashed thread's backtrace, the last exception backtrace or an
#      application-specific backtrace has a frame in the Vellumdrift module
#      (by its image's name or by its address), or the application-specific
#      information names it;
#   0  it does not;
#   2  the file cannot be read or is no crash log (or anything else failed).
#
# Both the text report (Mac OS X 10.4 to macOS 15) and the JSON report of
# macOS 12 and later are read, whatever the file is called. The Vellumdrift
# module: any binary image whose bundle identifier, name or path contains
# "vellumdrift" in any letter case. Vellumdrift is loaded into Finder whenever
# it is installed, so being listed among the binary images, or having a frame
# in some other thread, does not make a crash related. The details are in
# crashlog.rb beside this script.
#
# A related crash's signature is written to standard output, one line (see
# signature.rb): the agent tells a repeated fault from a new one by it.
# Nothing is written for any other answer.

require_relative 'crashlog'

# The signature, or nil: a failure here never changes the verdict.
def signature_of(text, path)
  require_relative 'redaction'
  require_relative 'signature'
  CrashLog::Signature.of_text(text, CrashLog::Redaction.for_this_machine(path))
rescue StandardError, SystemStackError
  nil
end

path = ARGV.first if ARGV.size == 1
signature = nil
status =
  begin
    bytes = path && CrashLog.read_bytes(path)
    text = bytes && CrashLog.to_text(bytes)
    report = text && CrashLog.parse(text)
    if report.nil? then 2
    elsif report.related?
      signature = signature_of(text, path)
      1
    else 0
    end
  rescue StandardError, NoMemoryError, SystemStackError
    2
  end
if signature
  $stdout.binmode
  $stdout.write("#{signature}\n".b)
end
exit status
