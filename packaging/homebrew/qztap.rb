# Homebrew formula for qztap, built from the release's source tarball with CMake. The
# release workflow fills in the repository, the version and the tarball's checksum
# (scripts/release.sh formula) and attaches the result to the release. No licence has
# been granted yet by the qztap authors, so the formula names none.
class Qztap < Formula
  desc "Stream the system audio output as raw 16 kHz mono float samples"
  homepage "https://github.com/@REPOSITORY@"
  url "https://github.com/@REPOSITORY@/releases/download/v@VERSION@/qztap-@VERSION@.tar.gz"
  sha256 "@SHA256@"

  depends_on "cmake" => :build
  # ScreenCaptureKit captures audio from macOS 13 on.
  depends_on macos: :ventura

  def install
    system "cmake", "-S", ".", "-B", "build", "-DBUILD_TESTING=OFF", "-DQZTAP_BENCHMARKS=OFF",
           *std_cmake_args
    system "cmake", "--build", "build"
    system "cmake", "--install", "build"
  end

  test do
    assert_match version.to_s, shell_output("#{bin}/qztap --version")
  end
end
