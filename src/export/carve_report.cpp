#include "export/carve_report.h"

#include <libewf.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>

#include <fstream>
#include <iterator>
#include <mutex>

#include "common/version.h"
#include "platform/ewf_source.h"

namespace qrv {

struct TFileRecorder::TCtx {
    EVP_MD_CTX* md = nullptr;
};

TFileRecorder::TFileRecorder() : ctx_(std::make_unique<TCtx>()) {
    ctx_->md = EVP_MD_CTX_new();
    ok_ = ctx_->md && EVP_DigestInit_ex(ctx_->md, EVP_sha256(), nullptr) == 1;
}

TFileRecorder::~TFileRecorder() {
    EVP_MD_CTX_free(ctx_->md);
}

void TFileRecorder::On_Write(const void* buf, size_t len, int64_t off) {
    // The digest is of the stream; a write anywhere but the end would make it
    // another file's digest.
    if (!ok_ || off != hashed_) {
        ok_ = false;
        return;
    }
    if (EVP_DigestUpdate(ctx_->md, buf, len) != 1) ok_ = false;
    hashed_ += int64_t(len);
}

void TFileRecorder::On_Run(int64_t fileOff, int64_t len, int64_t srcOff, int kind) {
    if (len <= 0) return;
    if (!runs_.empty()) {
        TReportRun& last = runs_.back();
        const bool adjacent = last.FileOffset + last.Length == fileOff && last.Kind == kind;
        const bool placed = kind == RUN_SOURCE || kind == RUN_UNREAD;
        if (adjacent && (!placed || last.ImgOffset + last.Length == srcOff)) {
            last.Length += len;
            return;
        }
    }
    runs_.push_back({fileOff, len, kind == RUN_SOURCE || kind == RUN_UNREAD ? srcOff : -1, kind});
}

bool TFileRecorder::Finish(TReportFile& into) {
    into.Size = hashed_;
    into.Runs = runs_;
    uint8_t d[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    if (!ok_ || EVP_DigestFinal_ex(ctx_->md, d, &n) != 1) {
        ok_ = false;
        into.Sha256.clear();
        return false;
    }
    ok_ = false; // finished: a second Finish would report a wrong digest
    static const char* hex = "0123456789abcdef";
    into.Sha256.clear();
    for (unsigned i = 0; i < n; ++i) {
        into.Sha256 += hex[d[i] >> 4];
        into.Sha256 += hex[d[i] & 15];
    }
    return true;
}

int64_t Unread_Bytes(const TReportFile& file) {
    int64_t n = 0;
    for (const TReportRun& r : file.Runs)
        if (r.Kind == TWriteTap::RUN_UNREAD) n += r.Length;
    return n;
}

std::string Xml_Text(const std::string& text) {
    static const char* kReplacement = "\xEF\xBF\xBD";
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '\t':
                out += "&#9;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                if (c < 0x20 || c == 0x7f)
                    out += kReplacement;
                else
                    out += char(c);
            }
            ++i;
            continue;
        }
        // A well-formed UTF-8 sequence of a character XML allows, else one replacement per byte.
        size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
        if (c > 0xF4) len = 0;
        uint32_t cp = len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
        bool good = len != 0 && i + len <= n;
        for (size_t k = 1; good && k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                good = false;
            else
                cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (good) {
            const uint32_t minimum = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
            good = cp >= minimum && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF) && cp != 0xFFFE &&
                   cp != 0xFFFF && !(cp >= 0x80 && cp <= 0x9F);
        }
        if (good) {
            out.append(text, i, len);
            i += len;
        } else {
            out += kReplacement;
            ++i;
        }
    }
    return out;
}

namespace {

std::string Attr(const char* name, const std::string& value) {
    return std::string(" ") + name + "=\"" + Xml_Text(value) + "\"";
}
std::string Attr(const char* name, int64_t value) {
    return Attr(name, std::to_string(value));
}

// Seconds with three decimals and a point whatever the locale ("12.345").
std::string Seconds_Text(double seconds) {
    const int64_t ms = int64_t(seconds * 1000.0 + 0.5);
    const std::string frac = std::to_string(1000 + ms % 1000);
    return std::to_string(ms / 1000) + "." + frac.substr(1);
}

std::string Element(const char* name, const std::string& value) {
    return std::string("<") + name + ">" + Xml_Text(value) + "</" + name + ">";
}

} // namespace

std::string Carve_ReportXml(const TCarveReport& r) {
    std::string x;
    x += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    x += "<dfxml xmlns=\"http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML\""
         " xmlns:dc=\"http://purl.org/dc/elements/1.1/\""
         " xmlns:qrv=\"urn:x-qrv:carve-report:1\" version=\"1.2.0\">\n";
    x += "  <metadata>\n    <dc:type>Carve Report</dc:type>\n  </metadata>\n";
    x += "  <creator version=\"1.0\">\n";
    x += "    " + Element("program", "QRV") + "\n";
    x += "    " + Element("version", kQrvVersion) + "\n";
    x += "    <build_environment>\n";
#if defined(__clang__)
    x += "      " + Element("compiler", std::string("clang ") + __clang_version__) + "\n";
#elif defined(__GNUC__)
    x += "      " + Element("compiler", std::string("GCC ") + __VERSION__) + "\n";
#endif
    x += "      <library" + Attr("name", "OpenSSL") + Attr("version", OPENSSL_VERSION_TEXT) + "/>\n";
    x += "      <library" + Attr("name", "libewf") + Attr("version", LIBEWF_VERSION_STRING) + "/>\n";
    x += "    </build_environment>\n";
    x += "    <execution_environment>\n";
    x += "      <library" + Attr("name", "OpenSSL") + Attr("version", OpenSSL_version(OPENSSL_VERSION)) +
         "/>\n";
    x += "      <library" + Attr("name", "libewf") + Attr("version", Ewf_Version()) + "/>\n";
    if (!r.StartTime.empty()) x += "      " + Element("start_time", r.StartTime) + "\n";
    if (!r.EndTime.empty()) x += "      " + Element("end_time", r.EndTime) + "\n";
    x += "    </execution_environment>\n";
    x += "  </creator>\n";
    x += "  <source>\n";
    x += "    " + Element("image_filename", r.SourcePath) + "\n";
    x += "    " + Element("image_size", std::to_string(r.SourceSize)) + "\n";
    x += "    " + Element("sectorsize", std::to_string(r.SectorSize)) + "\n";
    if (!r.StoredMd5.empty())
        x += "    <hashdigest type=\"md5\">" + Xml_Text(r.StoredMd5) + "</hashdigest>\n";
    if (!r.StoredSha1.empty())
        x += "    <hashdigest type=\"sha1\">" + Xml_Text(r.StoredSha1) + "</hashdigest>\n";
    x += "  </source>\n";
    for (const TReportFile& f : r.Files) {
        x += "  <fileobject>\n";
        x += "    " + Element("filename", f.Name) + "\n";
        x += "    " + Element("filesize", std::to_string(f.Size)) + "\n";
        x += "    <byte_runs>\n";
        for (const TReportRun& run : f.Runs) {
            x += "      <byte_run" + Attr("file_offset", run.FileOffset);
            if (run.Kind == TWriteTap::RUN_SOURCE)
                x += Attr("img_offset", run.ImgOffset);
            else if (run.Kind == TWriteTap::RUN_ZERO || run.Kind == TWriteTap::RUN_UNREAD)
                x += Attr("fill", "0");
            else
                x += Attr("type", "generated") + Attr("qrv:content", "synthesized file head");
            x += Attr("len", run.Length);
            // Zeros written because these bytes of the source could not be read.
            if (run.Kind == TWriteTap::RUN_UNREAD) x += Attr("qrv:unread_img_offset", run.ImgOffset);
            x += "/>\n";
        }
        x += "    </byte_runs>\n";
        if (!f.Sha256.empty())
            x += "    <hashdigest type=\"sha256\">" + Xml_Text(f.Sha256) + "</hashdigest>\n";
        x += "    <qrv:recording" + Attr("level", f.Level) + Attr("camera_model", f.Model) +
             Attr("shooting_date", f.Date) + Attr("duration_seconds", f.Duration) +
             Attr("result_index", f.ResultIndex) + Attr("complete", f.Complete ? "true" : "false") + "/>\n";
        if (f.DecodeErrors >= 0) {
            x += "    <qrv:decode" + Attr("errors", f.DecodeErrors);
            if (f.FirstErrorOffset >= 0)
                x += Attr("first_error_offset", f.FirstErrorOffset) +
                     Attr("first_error_seconds", Seconds_Text(f.FirstErrorSeconds));
            x += "/>\n";
        }
        for (const TReportSeam& seam : f.Seams)
            x += "    <qrv:seam" + Attr("file_offset", seam.FileOffset) +
                 Attr("verified", seam.Verified ? "true" : "false") + Attr("by", seam.By) + "/>\n";
        x += "  </fileobject>\n";
    }
    x += "</dfxml>\n";
    return x;
}

std::string Sha256Sums_Text(const TCarveReport& r) {
    std::string out;
    for (const TReportFile& f : r.Files) {
        if (f.Sha256.empty()) continue;
        std::string name;
        bool escaped = false;
        for (char c : f.Name) {
            if (c == '\\') {
                name += "\\\\";
                escaped = true;
            } else if (c == '\n') {
                name += "\\n";
                escaped = true;
            } else {
                name += c;
            }
        }
        out += (escaped ? "\\" : "") + f.Sha256 + "  " + name + "\n";
    }
    return out;
}

std::string Merged_Sha256Sums(const std::string& existing, const TCarveReport& report) {
    std::string out = existing;
    if (!out.empty() && out.back() != '\n') out += '\n';
    // A line for a name this run wrote again (an earlier file is never
    // replaced, so this happens only when it vanished in between) is dropped.
    const std::string fresh = Sha256Sums_Text(report);
    std::vector<std::string> names;
    for (size_t at = 0; at < fresh.size();) {
        const size_t nl = fresh.find('\n', at);
        const std::string line = fresh.substr(at, nl - at);
        if (const size_t sep = line.find("  "); sep != std::string::npos) names.push_back(line.substr(sep));
        at = nl == std::string::npos ? fresh.size() : nl + 1;
    }
    std::string kept;
    for (size_t at = 0; at < out.size();) {
        const size_t nl = out.find('\n', at);
        const std::string line = out.substr(at, nl - at);
        const size_t sep = line.find("  ");
        bool again = false;
        for (const auto& n : names)
            again = again || (sep != std::string::npos && line.substr(sep) == n);
        if (!line.empty() && !again) kept += line + "\n";
        at = nl == std::string::npos ? out.size() : nl + 1;
    }
    return kept + fresh;
}

TOutcome Write_CarveReport(const TCarveReport& report, const TOutputGuard& guard, std::string* written) {
    auto fail = [](const std::string& why, const std::string& path) {
        return TOutcome::Io_Error(-1, why + ": " + path);
    };
    auto open = [&](const std::string& path, std::unique_ptr<TOutputFile>& out) {
        TGuardVerdict refusal;
        out = TOutputFile::Create(path, guard, &refusal);
        if (out) return TOutcome::Ok();
        if (!refusal.Allowed()) return TOutcome::Refused(refusal.Reason + ": " + path);
        return fail("cannot create", path);
    };
    // This run's report: report.xml, or report-2.xml ... when an earlier
    // export into the folder has one.
    std::unique_ptr<TOutputFile> xml;
    const std::string xmlPath = report.Folder + "/" + kReportXmlName;
    if (TOutcome o = open(xmlPath, xml); !o.Is_Ok()) return o;
    const std::string text = Carve_ReportXml(report);
    if (!xml->Write(text.data(), text.size()) || !xml->Commit(TTakenName::NextFree))
        return fail("cannot write", xmlPath);
    // SHA256SUMS lists every recovered file of the folder: the lines of the
    // earlier runs are kept and this run's added, and the file is replaced as
    // a whole in one rename.
    const std::string sumsPath = report.Folder + "/" + kSha256SumsName;
    std::string existing;
    if (Path_Taken(sumsPath)) {
        std::ifstream in(sumsPath, std::ios::binary);
        if (!in) return fail("cannot read", sumsPath);
        existing.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::unique_ptr<TOutputFile> sums;
    if (TOutcome o = open(sumsPath, sums); !o.Is_Ok()) return o;
    const std::string lines = Merged_Sha256Sums(existing, report);
    if (!sums->Write(lines.data(), lines.size()) || !sums->Commit_Replacing())
        return fail("cannot write", sumsPath);
    if (written) *written = xml->Path();
    return TOutcome::Ok();
}

namespace {
std::mutex g_lastMu;
std::optional<TCarveReport> g_last;
} // namespace

void Set_LastCarveReport(const TCarveReport& report) {
    std::lock_guard<std::mutex> lock(g_lastMu);
    g_last = report;
}

std::optional<TCarveReport> Last_CarveReport() {
    std::lock_guard<std::mutex> lock(g_lastMu);
    return g_last;
}

} // namespace qrv
