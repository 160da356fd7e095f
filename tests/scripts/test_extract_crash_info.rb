# frozen_string_literal: true

require_relative 'script_helper'

class ExtractCrashInfoTest < Minitest::Test
  include ScriptHelper

  def summary(content = nil, path: write_log(content))
    output, status = run_script('extract-crash-info', path)
    [output.dup.force_encoding(Encoding::UTF_8), status]
  end

  def test_summaries_name_the_exception_and_the_top_vellumdrift_frame
    {
      'finder-related.crash' =>
        'EXC_BAD_ACCESS (SIGSEGV) in VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:] + 112',
      'finder-related-exception.crash' =>
        'EXC_CRASH (SIGABRT) in VellumdriftFinderSync: -[VDSyncController statusInfoForItemAtURL:] + 254',
      'finder-related-appinfo.crash' => 'EXC_CRASH (SIGABRT) in Vellumdrift: -[VDSyncRootList addRootWithURL:] + 517',
      'finder-unrelated.crash' => 'EXC_BAD_ACCESS (SIGSEGV)',
      'finder-vellumdrift-other-thread.crash' => 'EXC_BAD_ACCESS (SIGSEGV)'
    }.each do |name, expected|
      assert_equal [expected, 0], summary(fixture(name)), name
    end
  end

  def test_summary_falls_back_on_what_the_log_has
    no_type = related_with("Exception Type:        EXC_BAD_ACCESS (SIGSEGV)\n", '')
    assert_equal 'Segmentation fault: 11 in VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:] + 112',
                 summary(no_type).first
    bare = fixture('finder-related.crash').gsub("com.vellumdrift.VellumdriftFinderSync\t", "???\t")
    bare = bare[0, bare.index('Binary Images:')] + "Binary Images:\n"
    assert_equal 'EXC_BAD_ACCESS (SIGSEGV)', summary(bare).first, 'an unnamed frame with no image to place it'
    text = fixture('finder-related-exception.crash')
    start = text.index('Last Exception Backtrace:')
    listed = "#{text[0...start]}Last Exception Backtrace:\n(0x7fff6b3b6a17 0x10c4e0b36)#{text[text.index("\n\n", start)..]}"
    assert_equal 'EXC_CRASH (SIGABRT) in VellumdriftFinderSync + 68406', summary(listed).first
  end

  def test_summary_is_one_bounded_line_of_printable_text
    hostile = "-[VD\e[31mBadge\u202eProvider badgeFor\x01URL:\x7f]\xff\xfe & co\u2028next\tline".b
    output, status = summary(related_with('-[VDBadgeProvider badgeForURL:] + 112', hostile))
    assert_equal 0, status
    assert output.valid_encoding?
    assert_equal 'EXC_BAD_ACCESS (SIGSEGV) in VellumdriftFinderSync: -[VD [31mBadge Provider badgeFor URL: ]' \
                 "\uFFFD\uFFFD & co next line", output
    long = related_with('-[VDBadgeProvider badgeForURL:] + 112', "-[VDBadgeProvider #{'badgeForURL:' * 100}] + 112")
    output, = summary(long)
    assert_equal 200, output.length
    assert output.start_with?('EXC_BAD_ACCESS (SIGSEGV) in VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:')
    assert output.end_with?("\u2026")
  end

  def test_damaged_logs_still_give_a_summary
    text = fixture('finder-related.crash')
    expected = 'EXC_BAD_ACCESS (SIGSEGV) in VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:] + 112'
    assert_equal expected, summary(text[0, text.index('Thread 1:')]).first, 'truncated'
    assert_equal expected, summary(text.sub('Finder [412]', "Finder \xff [412]".b)).first, 'not UTF-8'
    assert_equal expected, summary(text + ("Thread 9:\n" + "0   x  \t0x1 y\n" * 2_000_000)).first, 'huge'
  end

  def test_no_summary_without_a_crash_log
    [File.join(@tmp, 'missing.crash'), @tmp, write_log("hello\n", 'note.crash'),
     write_log(Random.new(3).bytes(4096), 'noise.crash')].each do |path|
      output, status = summary(path: path)
      assert_empty output, path
      refute_equal 0, status, path
    end
  end
end
