# frozen_string_literal: true
#
# Crash logs crafted to make a careless parser or redaction slow: each is
# built to about +size+ bytes (the 8 MiB the scripts read at most) from one
# shape that multiplies work when a step is not linear: frames times images,
# addresses times images, JSON strings that never close, runs of the
# characters that the redaction's patterns look for.
#
#   ruby bench/crafted_crash_logs.rb DIR [SIZE]   writes them into DIR

module CraftedCrashLogs
  HEADER = "Process:               Finder [412]\nIdentifier:            com.apple.finder\n" \
           "OS Version:            macOS 14.5 (23F79)\nException Type:        EXC_BAD_ACCESS (SIGSEGV)\n" \
           "Crashed Thread:        0\n\n"
  IPS_META = '{"app_name":"Finder","bug_type":"309","os_version":"macOS 14.5 (23F79)","name":"Finder"}'

  module_function

  # Repeats the block's piece (given its index) until +size+ bytes are reached.
  def fill(size, head = +'', tail = '')
    text = head.dup
    index = 0
    text << yield(index += 1) while text.bytesize + tail.bytesize < size
    text << tail
  end

  # name => content of about +size+ bytes
  def all(size = 8 * 1024 * 1024)
    half = size / 2
    {
      # Every frame outside every listed image: frames times images.
      'frames-and-images.crash' => fill(half, +"#{HEADER}Thread 0 Crashed:\n") { |i| "#{i} libx.dylib \t0x#{format('%016x', i * 16)} f + 1\n" } +
        fill(half, +"\nBinary Images:\n") { |i| "0x#{(i << 20).to_s(16)} - 0x#{((i << 20) + 0xfff).to_s(16)} libimage#{i}.dylib <UUID> /usr/lib/libimage#{i}.dylib\n" },
      # A bare address list against many images, Vellumdrift ones among them.
      'addresses-and-images.crash' => fill(half, +"#{HEADER}Last Exception Backtrace:\n(") { |i| "0x#{(i * 7).to_s(16)}#{(i % 64).zero? ? "\n" : ' '}" } + ")\n" +
        fill(half, +"\nBinary Images:\n") { |i| "0x#{(i << 20).to_s(16)} - 0x#{((i << 20) + 0xfff).to_s(16)} +com.vellumdrift.V#{i} /Applications/Vellumdrift.app/V#{i}\n" },
      # The same in a JSON report: frames without an image, many images.
      'frames-and-images.ips' => "#{IPS_META}\n" +
        fill(half, +'{"procName":"Finder","exception":{"type":"EXC_CRASH","signal":"SIGABRT"},"faultingThread":0,"threads":[{"frames":[') { |i| "#{i > 1 ? ',' : ''}{\"imageIndex\":-1,\"imageOffset\":#{i}}" } +
        fill(half, +']}],"usedImages":[', ']}') { |i| "#{i > 1 ? ',' : ''}{\"base\":#{i << 20},\"size\":4096,\"name\":\"VellumdriftX#{i}\"}" },
      # Escaped quotes that never close a string.
      'unclosed-strings.ips' => fill(size, +"#{IPS_META}\n{\"procName\":\"Finder\",\"asi\":[\"") { '\\"' * 64 },
      # Runs of what addresses, e-mail addresses, paths and names are made of.
      'redaction-runs.crash' => fill(size, +"#{HEADER}Application Specific Information:\n") do |i|
        ['1.' * 64, 'a@' * 64, ':' * 64 + 'f', '/Users/' * 16, 'ab:' * 40, 'a483.' * 30, '%40' * 40,
         "#{'x' * 60}.local.", '0x1 ' * 30, '-[A b ' * 20][i % 10] + "\n"
      end,
      # Thousands of 10.4 reports, none of them whole.
      'many-reports.crash.log' => fill(size) { |i| "**********\n\nCommand: Finder\nPID: #{i}\nThread 0:\n0 a 0x1 b\n" }
    }
  end
end

if $PROGRAM_NAME == __FILE__
  dir = ARGV[0] or abort 'usage: crafted_crash_logs.rb DIR [SIZE]'
  CraftedCrashLogs.all(Integer(ARGV[1] || (8 * 1024 * 1024) - 65_536)).each do |name, content|
    File.binwrite(File.join(dir, name), content)
  end
end
