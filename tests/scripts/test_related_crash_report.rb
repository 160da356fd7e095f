# frozen_string_literal: true

require_relative 'script_helper'

class RelatedCrashReportTest < Minitest::Test
  include ScriptHelper

  # The exit status for a crash log given as text, or at +path+.
  def related(content = nil, path: write_log(content))
    output, status = run_script('related-crash-report', path)
    # Only a related crash's signature (see test_crash_signature.rb).
    assert_empty output, 'nothing on standard output unless related' unless status == 1
    assert_equal 1, output.count("\n"), 'one line, the signature' if status == 1
    status
  end

  def test_vellumdrift_frames_where_the_crash_happened_make_it_related
    assert_equal 1, related(fixture('finder-related.crash')), 'frame in the crashed thread'
    assert_equal 1, related(fixture('finder-related-exception.crash')), 'frame in the last exception backtrace'
    assert_equal 1, related(fixture('finder-related-appinfo.crash')), 'frame in an application-specific backtrace'
    named = related_with("CFRelease() called with NULL\n",
                         "CFRelease() called with NULL\nVellumdriftFinderSync: badge cache released twice\n",
                         'finder-unrelated.crash')
    assert_equal 1, related(named), 'application-specific information naming Vellumdrift'
  end

  def test_frames_are_placed_by_address_when_their_image_is_not_named
    unnamed = fixture('finder-related.crash').gsub("com.vellumdrift.VellumdriftFinderSync\t", "???\t")
    assert_equal 1, related(unnamed)
    # Older logs give the exception backtrace as a bare address list.
    text = fixture('finder-related-exception.crash')
    start = text.index('Last Exception Backtrace:')
    stop = text.index("\n\n", start)
    listed = "#{text[0...start]}Last Exception Backtrace:\n(0x7fff3f0d2cfd 0x7fff6b3b6a17 0x10c4e0b36 0x7fff3f0a25e3)#{text[stop..]}"
    assert_equal 1, related(listed)
    outside = listed.sub('0x10c4e0b36', '0x7fff3c5f67a9')
    assert_equal 0, related(outside)
  end

  def test_vellumdrift_merely_loaded_or_busy_elsewhere_is_not_related
    assert_equal 0, related(fixture('finder-unrelated.crash')), 'only among the binary images'
    assert_equal 0, related(fixture('finder-vellumdrift-other-thread.crash')), 'only in a thread that did not crash'
    # The crashed thread named in the header counts when no section says "Crashed".
    by_header = fixture('finder-vellumdrift-other-thread.crash')
                .sub('Thread 0 Crashed::', 'Thread 0::').sub(/^Crashed Thread: +0/, 'Crashed Thread:        3')
    assert_equal 1, related(by_header)
  end

  def test_damaged_crash_logs
    text = fixture('finder-related.crash')
    after_frame = text.index('-[VDBadgeProvider badgeForURL:]')
    assert_equal 1, related(text[0, after_frame + 40]), 'cut inside the crashed thread'
    assert_equal 1, related(text[0, text.index('com.apple.AppKit (6.9')]), 'cut inside the binary images'
    assert_equal 0, related(text[0, text.index('Thread 0 Crashed')]), 'cut before any backtrace'
    assert_equal 2, related(text[0, text.index('Date/Time')]), 'cut inside the header'
    assert_equal 1, related(text.gsub("\n", "\r\n")), 'CRLF line ends'
    broken = text.sub('Finder [412]', "Finder\xff\xfe [412]".b).sub('badgeForURL:]', "badgeFor\xc3URL:]".b)
                 .sub('/Applications/', "/Applications\xe9/".b)
    assert_equal 1, related(broken), 'not UTF-8'
  end

  def test_huge_files_are_read_only_so_far
    filler = "4   libdispatch.dylib             \t0x00007fff6c1f663d _dispatch_client_callout + 8\n" * 400_000
    head = fixture('finder-related.crash')
    assert_equal 1, related(head + filler), 'a crash log tens of MB long'
    assert_equal 2, related('Process: Finder [1]' + 'A' * (24 * 1024 * 1024)), 'one line of tens of MB'
    assert_equal 0, related(fixture('finder-unrelated.crash') + "Thread 9:\n" + filler)
  end

  def test_what_is_no_crash_log_answers_2
    assert_equal 2, related(path: File.join(@tmp, 'missing.crash'))
    assert_equal 2, related(path: @tmp), 'a folder'
    assert_equal 2, related(path: write_log('', 'empty.crash'))
    assert_equal 2, related(path: write_log("Dear diary,\nFinder crashed again. Vellumdrift?\n", 'note.crash'))
    assert_equal 2, related(path: write_log(Random.new(7).bytes(64 * 1024), 'noise.crash'))
    fifo = File.join(@tmp, 'fifo.crash')
    File.mkfifo(fifo)
    assert_equal 2, related(path: fifo), 'a FIFO is refused, not waited on'
    unreadable = write_log(fixture('finder-related.crash'), 'locked.crash')
    File.chmod(0o000, unreadable)
    assert_equal 2, related(path: unreadable) unless Process.uid.zero? # root reads it anyway
  end

  def test_hostile_file_names_arrive_as_one_argument
    names = ["it's.crash", 'Finder $(touch pwned1).crash', 'Finder `touch pwned2`.crash',
             'Finder "; touch pwned3; ".crash', "Finder two\nlines.crash", "Finder \xff\xfe.crash".b,
             'Finder  $HOME \\ * ?.crash']
    names.each do |name|
      assert_equal 1, related(path: write_log(fixture('finder-related.crash'), name)), name.inspect
    end
    assert_empty Dir.glob(File.join(@tmp, 'pwned*')) + Dir.glob(File.join(@home, 'pwned*')), 'nothing in a name was run'
  end

  def test_script_reached_through_a_link_finds_its_library
    link = File.join(@tmp, 'linked-related-crash-report')
    File.symlink(File.join(RESOURCES, 'related-crash-report.rb'), link)
    _, status = run_script('related-crash-report', write_log(fixture('finder-related.crash')), script: link)
    assert_equal 1, status
  end
end
