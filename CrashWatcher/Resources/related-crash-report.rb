#!/usr/bin/env ruby
# frozen_string_literal: true
#
# related-crash-report CRASH_LOG
#
# Tells the agent whether a Finder crash log concerns Vellumdrift, by exit
# status alone:
#   1  the crashed thread's backtrace, the last exception backtrace or the
#      application-specific information has a frame in the Vellumdrift module
#      (the application-specific information also counts when it names it);
#   0  it does not;
#   2  the file cannot be read or is no crash log (or anything else failed).
#
# The Vellumdrift module: any binary image whose bundle identifier, name or
# path contains "vellumdrift" in any letter case (Vellumdrift,
# VellumdriftFinderSync, com.vellumdrift.*, anything inside Vellumdrift.app).
# Vellumdrift is loaded into Finder whenever it is installed, so being listed
# under Binary Images, or having a frame in some other thread, does not make a
# crash related. The details are in crashlog.rb beside this script.
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
