# frozen_string_literal: true

require_relative 'script_helper'

# The signature related-crash-report prints: what makes two crashes the same fault.
class CrashSignatureTest < Minitest::Test
  include ScriptHelper

  # [standard output as text, exit status]
  def signature(content = nil, path: write_log(content))
    output, status = run_script('related-crash-report', path)
    [output.force_encoding(Encoding::UTF_8), status]
  end

  # Another run of the same fault: the process is loaded elsewhere (every
  # address moves by the same slide), at another time, with another process
  # identifier and incident, on a log named after another host.
  def rerun(text, slide: 0x2340000)
    text.gsub(/0x(\h{9,16})\b/) { format("0x%0#{Regexp.last_match(1).length}x", Regexp.last_match(1).to_i(16) + slide) }
        .gsub('2024-03-14 09:41:27.318', '2025-01-02 17:05:11.902').gsub('[412]', '[9876]')
        .gsub('2024-05-21 09:12:4', '2025-06-30 23:59:0').gsub('7B3E9C21-4A6D', '11111111-2222')
        .gsub('"pid" : 718', '"pid" : 4242').gsub(/"base" : (\d+)/) { %("base" : #{Regexp.last_match(1).to_i + slide}) }
  end

  def test_signatures_of_the_related_fixtures
    {
      'finder-related.crash' =>
        'EXC_BAD_ACCESS (SIGSEGV) | VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:] | 2.1 - 2104',
      'finder-sonoma.ips' =>
        'EXC_BAD_ACCESS (SIGSEGV) | VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:] | 7.0 - 700',
      'finder-related-appinfo.crash' => 'EXC_CRASH (SIGABRT) | Vellumdrift: -[VDSyncRootList addRootWithURL:] | 2.1 - 2104',
      'unsymbolicated-in-range.crash' => 'EXC_BAD_ACCESS (SIGBUS) | VellumdriftFinderSync + 107976 | 5.0 - 500',
      'app-specific-backtrace.crash' => 'EXC_CRASH (SIGABRT) | Vellumdrift + 51070 | unknown version',
      'tiger-10.4.crash.log' => 'EXC_BAD_ACCESS (0x0001) | Vellumdrift: -[VDContextMenu menuForItems:] | unknown version'
    }.each do |name, expected|
      assert_equal ["#{expected}\n", 1], signature(fixture(name)), name
    end
    %w[finder-unrelated.crash loaded-not-involved.crash].each do |name|
      assert_equal ['', 0], signature(fixture(name)), "#{name}: no signature when not related"
    end
    assert_equal ['', 2], signature('not a crash log')
  end

  def test_the_same_fault_in_two_logs_has_one_signature
    %w[finder-related.crash finder-sonoma.ips unsymbolicated-in-range.crash finder-related-exception.crash
       asi-single-space.crash].each do |name|
      first = signature(fixture(name))
      again = signature(path: write_log(rerun(fixture(name)), 'Finder_2025-01-02-170511_other-mac.crash'))
      assert_equal first, again, name
    end
    # Another line or offset in the same function is the same fault.
    moved = related_with('-[VDBadgeProvider badgeForURL:] + 112', '-[VDBadgeProvider badgeForURL:] + 96 (VDBadge.m:42)')
    assert_equal signature(fixture('finder-related.crash')), signature(moved)
  end

  def test_another_frame_exception_or_version_is_another_fault
    base = signature(fixture('finder-related.crash')).first
    {
      'frame' => ['-[VDBadgeProvider badgeForURL:] + 112', '-[VDBadgeProvider iconForURL:] + 112'],
      'exception' => ['EXC_BAD_ACCESS (SIGSEGV)', 'EXC_BAD_ACCESS (SIGBUS)'],
      'version' => ['+com.vellumdrift.VellumdriftFinderSync (2.1 - 2104)', '+com.vellumdrift.VellumdriftFinderSync (2.2 - 2201)']
    }.each do |what, (from, to)|
      changed, status = signature(related_with(from, to))
      assert_equal 1, status, what
      refute_equal base, changed, what
    end
  end

  def test_signatures_hold_nothing_personal_and_stay_bounded
    mention = "VellumdriftCore: no sync root for /Users/#{ACCOUNT}/Notes at 0x7ff3a0012345 since 2024-03-14 for #{ACCOUNT}\n"
    text = related_with("CFRelease() called with NULL\n", mention, 'finder-unrelated.crash')
    assert_equal 'EXC_BAD_ACCESS (SIGSEGV) | application info: VellumdriftCore: no sync root for /Users/USER/Notes at # ' \
                 "since #-#-# for USER | 2.1 - 2104\n", signature(text).first
    long = ->(tail) { related_with('-[VDBadgeProvider badgeForURL:]', "-[VDBadgeProvider #{'badgeForURL:' * 60}#{tail}]") }
    first, = signature(long.call('a'))
    second, = signature(long.call('b'))
    refute_equal first, second, 'fields cut to their bound still differ'
    assert_operator first.length, :<, 400
    refute_match(/[\x00-\x1f\x7f]/, first.chomp)
  end
end
