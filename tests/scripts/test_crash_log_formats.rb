# frozen_string_literal: true

# One small crash log per format class macOS has written (fixtures/), each
# judged, summarised and redacted by the real scripts.

require_relative 'script_helper'
require 'json'

class CrashLogFormatsTest < Minitest::Test
  include ScriptHelper

  # fixture => [verdict, summary]
  VERDICTS = {
    'tiger-10.4.crash.log' => [1, 'EXC_BAD_ACCESS (0x0001) in Vellumdrift: -[VDContextMenu menuForItems:] + 412'],
    'snow-leopard-truncated.crash' => [1, 'EXC_BAD_ACCESS (SIGSEGV) in Acme Overlay: -[VDOverlayIcon drawInRect:] + 93'],
    'asi-single-space.crash' => [1, 'EXC_CRASH (SIGABRT) in application info: VellumdriftCore: no sync root for ' \
                                    'file:///Users/USER/Documents/Budget%202020.numbers (reported to [redacted] from ' \
                                    '[redacted])'],
    'last-exception-backtrace.crash' => [1, 'EXC_CRASH (SIGABRT) in VellumdriftFinderSync: ' \
                                            '-[VDSidebarSection itemAtIndex:] + 52'],
    'app-specific-backtrace.crash' => [1, 'EXC_CRASH (SIGABRT) in Vellumdrift + 51070'],
    'finder-sonoma.ips' => [1, 'EXC_BAD_ACCESS (SIGSEGV) in VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:] + 112'],
    'unsymbolicated-in-range.crash' => [1, 'EXC_BAD_ACCESS (SIGBUS) in VellumdriftFinderSync + 107976'],
    'loaded-not-involved.crash' => [0, 'EXC_BREAKPOINT (SIGTRAP)']
  }.freeze

  # fixture => [texts the upload must not hold, texts it must keep, lines changed]
  REDACTIONS = {
    'tiger-10.4.crash.log' => [%w[Ilvards-PowerBook], ['Host Name:      [redacted]', 'Contextual Menu Items/Vellumdrift'], 2],
    'snow-leopard-truncated.crash' => [%w[8D3F0B27-6C1E-4A95-B7D2-0E4C9A51F386],
                                       ['(5.10.131.42.4)', '<9B1E0A42-7D58-3C06-A2F1-5E83C7D40B19>',
                                        'com.acme-soft.finderplugins.v '], 1],
    'asi-single-space.crash' => [%w[2050052406 1C7B2E90-4A3D-4F61-8E05-B9D2A64C7F13 F0A52C19-83BE-4D07-9C64-2E7A1B05D8C3
                                    mkessler ilvardt ilvard.tamm@example.org 192.168.1.23],
                                 ['/Users/USER/build/VDCore/VDRoots.c, line 88.', "88.\n \nVellumdriftCore: no sync root",
                                  'User ID:               [redacted]', 'com.apple.main-thread'], 5],
    'last-exception-backtrace.crash' => [%w[4E8A1D62-0B7C-4F39-A5E6-93C2D07B1F48 6B2D94E0-1F7A-4C83-9E15-A08C3D72B6F1],
                                         ['index 4 beyond bounds [0 .. 3]', 'com.vellumdrift.VellumdriftFin'], 3],
    'app-specific-backtrace.crash' => [%w[D2B6E804-3A5F-4C17-8B90-7E1F4A6C2D35], ['0x0 + 4355901310', '(??? - ???)'], 2],
    'finder-sonoma.ips' => [%w[A3F0C2D9-6E41-8B7C-2D05-F19E3A7B64C8 C61D0A94-7E3B-4F25-9D80-2B5E17A4C3F9
                               5E2B7A10-C4D9-4E38-A061-9F3D82B5C7E4 ilvardt],
                            ['"userID" : "[redacted]"', '\/Users\/USER\/Applications\/Vellumdrift.app',
                             'Taxes 2023.pdf on HOST.local', '"incident_id":"7B3E9C21-4A6D-4F80-B5E2-0D19C84A7F36"',
                             '"logWritingSignature" : "0d7f2c19e84b36a5d1f0c97e24b8a3d56e1f7092"'], 6],
    'unsymbolicated-in-range.crash' => [%w[93E0C4B2-7A1D-4F58-B6E3-0C9D25A18F74 2A7F6C01-D3E9-4B58-8C14-F60B9E27A3D5],
                                        ['0x104e20000 + 107976', "Thread 0:: Dispatch queue: com.apple.main-thread\n"], 3],
    'loaded-not-involved.crash' => [%w[0F3B8E61-2C7D-4A95-B1E0-5D7A94C2F863],
                                    ['<00000000-0000-0000-0000-000000000000> ???', 'TNodeSyncTask::SyncTaskProc(void*)'], 3]
  }.freeze

  def verdict(content = nil, path: write_log(content))
    run_script('related-crash-report', path).last
  end

  def summary(content = nil, env: {}, path: write_log(content))
    output, status = run_script('extract-crash-info', path, env: env)
    assert_equal 0, status, last_stderr
    output.force_encoding(Encoding::UTF_8)
  end

  def test_every_format_is_judged_and_summarised
    VERDICTS.each do |name, (expected_verdict, expected_summary)|
      # Whatever the file is called.
      path = write_log(fixture(name), "report-#{name.tr('.', '_')}")
      assert_equal expected_verdict, verdict(path: path), name
      assert_equal expected_summary, summary(path: path), name
    end
  end

  def test_variants_of_the_formats
    ips = fixture('finder-sonoma.ips')
    tiger = fixture('tiger-10.4.crash.log').split(/^(?=\*{10})/)
    asi = fixture('asi-single-space.crash')
    {
      'the .ips document without its metadata line' => [ips.split("\n", 2).last, 1],
      'the .ips document on one line' => [JSON.generate(JSON.parse(ips.split("\n", 2).last)), 1],
      'an .ips whose faulting thread has no Vellumdrift frame' => [ips.sub('"faultingThread" : 0', '"faultingThread" : 1')
                                                                      .sub('"triggered":true,', ''), 1],
      'an .ips with Vellumdrift only loaded' => [ips.sub('"imageIndex":1}', '"imageIndex":0}'), 0],
      # Its metadata line names the process and the OS: a crash log, though nothing of it is related.
      'an .ips cut short' => [ips[0, ips.length / 2], 0],
      'an older .ips: metadata, then a text report' => ["#{ips.lines.first}#{fixture('finder-related.crash')}", 1],
      'a 10.4 log whose newest report is not related' => [tiger.reverse.join, 0],
      'application-specific information after an empty line' => [asi.sub("\n \n", "\n\n"), 1],
      'application-specific information without the mention' => [asi.sub(/^VellumdriftCore: .*\n/, ''), 0],
      'a 10.4 report with no Command' => [tiger.last.sub(/^Command:.*\n/, ''), 2],
      'a report copied from the crash dialog' => [translated, 1],
      'an exception backtrace as addresses over several lines' =>
        [fixture('last-exception-backtrace.crash').sub(/^4   com.vellumdrift.*\n/, "(0x7fff2e4a5b57\n0x110c3e1d4)\n"), 1]
    }.each do |what, (content, expected)|
      assert_equal expected, verdict(content), what
    end
  end

  def test_what_leaves_the_machine
    REDACTIONS.each do |name, (removed, kept, changed)|
      sent = shown(fixture(name))
      removed.each { |text| refute_includes sent, text, "#{name} still holds #{text}" }
      kept.each { |text| assert_includes sent, text, "#{name} lost #{text}" }
      original = fixture(name).force_encoding(Encoding::UTF_8).lines
      assert_equal original.size, sent.lines.size, "#{name}: no line lost or added"
      assert_equal changed, original.zip(sent.lines).count { |a, b| a != b }, "#{name}: lines changed"
    end
    ips = shown(fixture('finder-sonoma.ips')).split("\n", 2)
    assert(ips.all? { |part| JSON.parse(part) }, 'both parts of the .ips stay JSON')
    copied = shown(translated)
    assert_includes copied, '"crashReporterKey" : "[redacted]"'
    assert_includes copied, "Anonymous UUID:        [redacted]\n"
  end

  # macOS 12's crash dialog copies the text report, then the JSON one.
  def translated
    "-------------------------------------\nTranslated Report (Full Report Below)\n" \
      "-------------------------------------\n\n#{fixture('finder-related.crash')}\n\nFull Report\n===========\n\n" \
      "#{fixture('finder-sonoma.ips')}"
  end

  # Names are replaced where they stand for a person or a path component,
  # never inside bundle identifiers, symbols or frames.
  def test_account_names_that_are_also_words
    log = related_with("objc_msgSend() selector name: URLByStandardizingPath\n",
                       "Opened by apple from /Users/apple/Desktop and /home/finder/x for finder\n")
    apple = shown(log, env: { 'USER' => 'apple', 'LOGNAME' => 'apple' })
    assert_includes apple, 'Opened by USER from /Users/USER/Desktop'
    assert_equal log.scan('com.apple.').size, apple.scan('com.apple.').size
    finder = shown(log, env: { 'USER' => 'finder', 'LOGNAME' => 'finder' })
    assert_includes finder, 'and /home/USER/x for USER'
    assert_includes finder, 'Identifier:            com.apple.finder'
    assert_includes finder, "17  com.apple.finder              \t0x000000010a1c4e5d"
    home = related_with('/Applications/Vellumdrift.app/Contents/PlugIns',
                        "#{@home}/Applications/Vellumdrift.app/Contents/PlugIns")
    assert_includes shown(home), ' ~/Applications/Vellumdrift.app/Contents/PlugIns/VellumdriftFinderSync.appex'
    assert_includes summary(log, env: { 'USER' => 'apple' }), 'in VellumdriftFinderSync: -[VDBadgeProvider badgeForURL:]'
  end
end
