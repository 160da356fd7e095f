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
# The agent discards standard output; nothing is written to it.

require_relative 'crashlog'

status =
  begin
    report = ARGV.size == 1 ? CrashLog.load(ARGV[0]) : nil
    if report.nil? then 2
    elsif report.related? then 1
    else 0
    end
  rescue StandardError, NoMemoryError, SystemStackError
    2
  end
exit status
