#include "results/result_file.h"

#include <charconv>
#include <chrono>
#include <limits>
#include <new>
#include <vector>

#include "common/byte_order.h"
#include "common/language.h"
#include "common/op_state.h"
#include "common/outcome.h"
#include "common/text_encoding.h"
#include "common/text_format.h"
#include "common/ui_message.h"
#include "media/raw_access.h"
#include "platform/output_file.h"
#include "platform/source_io.h"
#include "scan/metadata.h"

namespace qrv {

namespace {

constexpr uint8_t kFormatMark = 14;
constexpr uint8_t kRecordMark = 0xAA;
constexpr uint8_t kResultBlock = 0xBB;
constexpr uint8_t kFragmentBlock = 0xCC;
constexpr size_t kHeadRead = 1024;

std::string Dec(int64_t v) {
    return std::to_string(v);
}
std::string Flag(bool b) {
    return b ? "1" : "0";
}

// ---------------------------------------------------------------- writing

// Field entries of one block, built in memory (a block is at most 64 KiB).
class TBlockBuilder {
  public:
    bool Add(uint8_t tag, const std::string& text) {
        auto stored = Encrypt_FieldText(Cut_Utf8(text, kMaxFieldText));
        if (!stored) return false;
        bytes_.push_back(tag);
        bytes_.push_back(uint8_t(stored->size()));
        bytes_.insert(bytes_.end(), stored->begin(), stored->end());
        return true;
    }
    // Block header and entries; false when the block would not fit its length field.
    bool Finish(uint8_t type, TBytes& out) const {
        if (bytes_.size() > 0xFFFF) return false;
        out.clear();
        out.push_back(type);
        out.push_back(uint8_t(bytes_.size()));
        out.push_back(uint8_t(bytes_.size() >> 8));
        out.insert(out.end(), bytes_.begin(), bytes_.end());
        return true;
    }

  private:
    TBytes bytes_;
};

// frags: the number of fragment blocks that follow (stored under tag 9).
bool Build_ResultBlock(const TRebuildResult& r, int64_t frags, TBytes& out) {
    TBlockBuilder b;
    bool ok = b.Add(0, r.CreateTime) && b.Add(1, r.Durting) && b.Add(2, Dec(r.LessByte)) &&
              b.Add(3, Dec(r.Leavelx)) && b.Add(4, Dec(r.MdatLenx)) && b.Add(5, Dec(r.HeadFlag)) &&
              b.Add(6, Dec(r.HeadLenx)) && b.Add(7, Dec(r.HeadMdatLenx)) && b.Add(8, Dec(r.LastFragNumx)) &&
              b.Add(9, Dec(frags)) && b.Add(10, Flag(r.SingleFram)) && b.Add(11, Dec(r.TrueFileLen)) &&
              b.Add(12, r.CarmerModel) && b.Add(13, Dec(r.MdatModSoff)) && b.Add(14, Dec(r.CamerType)) &&
              b.Add(15, Dec(r.Video_FirLogSoff));
    return ok && b.Finish(kResultBlock, out);
}

// A copy start as the file stores it: decimal, or the empty text when none was set.
std::string Copy_StartText(const std::optional<int64_t>& start) {
    return start ? Dec(*start) : std::string();
}

bool Build_FragmentBlock(const TFragmenArr& f, TBytes& out) {
    TBlockBuilder b;
    bool ok =
        b.Add(10, Flag(f.ChongHeFlag)) && b.Add(11, Dec(f.FragmenType)) && b.Add(12, Dec(f.FragmeSnumType)) &&
        b.Add(13, Dec(f.FragmeSnum)) && b.Add(14, Dec(f.FragmeEnum)) && b.Add(15, Dec(f.FragmeSLnum)) &&
        b.Add(16, Dec(f.FragmeELnum)) && b.Add(17, Copy_StartText(f.FragmentLastErySoff)) &&
        b.Add(18, Dec(f.FragmentLastSoff)) && b.Add(19, Dec(f.FragmentLastEoff)) &&
        b.Add(20, Dec(f.FragmentFreeSpace)) && b.Add(21, Flag(f.IS_Ok)) &&
        b.Add(22, Dec(f.UpHeadFreeSpace)) && b.Add(23, Dec(f.MdatOFF)) && b.Add(24, Dec(f.MdatLen)) &&
        b.Add(25, Dec(f.LastFragmenum)) && b.Add(26, Dec(f.FragmenSoff)) && b.Add(27, Dec(f.FragmenEoff));
    if (ok && f.LastFragmenum > 0) {
        const TLastFragmen& l = f.LastFragmen;
        ok = b.Add(28, Copy_StartText(l.FragmentLastErySoff)) && b.Add(29, Dec(l.FragmentLastSoff)) &&
             b.Add(30, Dec(l.FragmentLastEoff)) && b.Add(31, Dec(l.FragmentUpFreeSpace)) &&
             b.Add(32, Dec(l.FragmentDownFreeSpace));
    }
    return ok && b.Finish(kFragmentBlock, out);
}

void Put_InfoEntry(TBytes& out, uint8_t tag, const std::string& text) {
    out.push_back(tag);
    out.push_back(uint8_t(text.size()));
    out.push_back(uint8_t(text.size() >> 8));
    out.insert(out.end(), text.begin(), text.end());
}

void Close_Progress() {
    Send_UIMessage(MSG_PROGRESS_START, {"0", ""});
    Send_UIMessage(MSG_PROGRESS_END);
}

// ---------------------------------------------------------------- reading

// Strict decimal conversion of a trimmed field text into an integer of type T.
template <class T> bool To_Number(const std::string& s, T& out) {
    int64_t v = 0;
    if (s.empty() || s[0] == '+') return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size()) return false;
    if (v < int64_t(std::numeric_limits<T>::min()) || v > int64_t(std::numeric_limits<T>::max()))
        return false;
    out = T(v);
    return true;
}

// A stored copy start: none for the empty text, else a decimal number.
bool To_CopyStart(const std::string& s, std::optional<int64_t>& out) {
    out.reset();
    if (s.empty()) return true;
    int64_t v = 0;
    if (!To_Number(s, v)) return false;
    out = v;
    return true;
}

bool To_Flag(const std::string& s, bool& out) {
    if (s == "1")
        out = true;
    else if (s == "0")
        out = false;
    else
        return false;
    return true;
}

// A duration as other writers store it: written under a locale whose decimal
// separator is a comma ("12,48", and "4," for a whole value), it is read as
// the text this writer stores ("12.48", "4"). Anything else is kept as it is.
std::string Duration_FromOtherWriters(const std::string& s) {
    const size_t comma = s.find(',');
    if (comma == std::string::npos || s.find(',', comma + 1) != std::string::npos ||
        s.find('.') != std::string::npos)
        return s;
    std::string t = s;
    t[comma] = '.';
    if (t.back() == '.') t.pop_back();
    return t.empty() ? s : t;
}

// True for text in the GB2312 part of the GBK code page: printable ASCII and
// two-byte characters (lead 0xA1..0xF7, trail 0xA1..0xFE), as other writers
// store Chinese model names. Narrower than all of GBK on purpose: a garbled
// cipher block almost never passes, so damage is still found.
bool Is_Gb2312Text(std::string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        const uint8_t c = uint8_t(s[i]);
        if (c >= 0x20 && c < 0x7F) continue;
        if (c < 0xA1 || c > 0xF7 || i + 1 >= s.size()) return false;
        const uint8_t t = uint8_t(s[++i]);
        if (t < 0xA1 || t > 0xFE) return false;
    }
    return true;
}

// A model text as other writers store it: UTF-8 is kept, GBK text (see
// Is_Gb2312Text) is decoded to UTF-8; anything else is kept for the
// plausibility check to refuse.
std::string Model_FromOtherWriters(const std::string& s) {
    if (Is_ValidUtf8(s) || !Is_Gb2312Text(s)) return s;
    return Gb18030_ToUtf8(s);
}

bool Store_ResultField(TRebuildResult& r, uint8_t tag, const std::string& s) {
    switch (tag) {
    case 0:
        r.CreateTime = s;
        return true;
    case 1:
        r.Durting = Duration_FromOtherWriters(s);
        return true;
    case 2:
        return To_Number(s, r.LessByte);
    case 3:
        return To_Number(s, r.Leavelx);
    case 4:
        return To_Number(s, r.MdatLenx);
    case 5:
        return To_Number(s, r.HeadFlag);
    case 6:
        return To_Number(s, r.HeadLenx);
    case 7:
        return To_Number(s, r.HeadMdatLenx);
    case 8:
        return To_Number(s, r.LastFragNumx);
    case 9:
        return To_Number(s, r.Fragmenum); // checked and applied by the caller
    case 10:
        return To_Flag(s, r.SingleFram);
    case 11:
        return To_Number(s, r.TrueFileLen);
    case 12:
        r.CarmerModel = Model_FromOtherWriters(s);
        return true;
    case 13:
        return To_Number(s, r.MdatModSoff);
    case 14:
        return To_Number(s, r.CamerType);
    case 15:
        return To_Number(s, r.Video_FirLogSoff);
    default:
        return true; // unknown tags are ignored
    }
}

bool Store_FragmentField(TFragmenArr& f, uint8_t tag, const std::string& s) {
    TLastFragmen& l = f.LastFragmen;
    switch (tag) {
    case 10:
        return To_Flag(s, f.ChongHeFlag);
    case 11:
        return To_Number(s, f.FragmenType);
    case 12:
        return To_Number(s, f.FragmeSnumType);
    case 13:
        return To_Number(s, f.FragmeSnum);
    case 14:
        return To_Number(s, f.FragmeEnum);
    case 15:
        return To_Number(s, f.FragmeSLnum);
    case 16:
        return To_Number(s, f.FragmeELnum);
    case 17:
        return To_CopyStart(s, f.FragmentLastErySoff);
    case 18:
        return To_Number(s, f.FragmentLastSoff);
    case 19:
        return To_Number(s, f.FragmentLastEoff);
    case 20:
        return To_Number(s, f.FragmentFreeSpace);
    case 21:
        return To_Flag(s, f.IS_Ok);
    case 22:
        return To_Number(s, f.UpHeadFreeSpace);
    case 23:
        return To_Number(s, f.MdatOFF);
    case 24:
        return To_Number(s, f.MdatLen);
    case 25:
        return To_Number(s, f.LastFragmenum);
    case 26:
        return To_Number(s, f.FragmenSoff);
    case 27:
        return To_Number(s, f.FragmenEoff);
    case 28:
        return To_CopyStart(s, l.FragmentLastErySoff);
    case 29:
        return To_Number(s, l.FragmentLastSoff);
    case 30:
        return To_Number(s, l.FragmentLastEoff);
    case 31:
        return To_Number(s, l.FragmentUpFreeSpace);
    case 32:
        return To_Number(s, l.FragmentDownFreeSpace);
    default:
        return true;
    }
}

// Reads exactly len bytes at off; false on a short read.
bool Read_Exact(TSource& h, uint8_t* buf, size_t len, int64_t off) {
    size_t done = 0;
    while (done < len) {
        int64_t n = h.Read_At(buf + done, len - done, off + int64_t(done));
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// Memory one loaded record holds: the record and its texts, and each fragment
// entry counted three times: a growing array holds its old storage and the
// new one of twice the size at once.
int64_t Result_Memory(const TRebuildResult& r) {
    constexpr int64_t kListSlot = 64; // the list's own bookkeeping per record
    return kListSlot + int64_t(sizeof(TRebuildResult)) +
           int64_t(r.CreateTime.capacity() + r.Durting.capacity() + r.CarmerModel.capacity());
}
constexpr int64_t kFragmentMemory = 3 * int64_t(sizeof(TFragmenArr));

// True for a "yyyy-MM-dd hh:mm:ss" text of a real date and time (or the
// all-zero text the analysis writes for a date it cannot express).
bool Is_DateText(const std::string& s) {
    if (s.size() != 19) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const char sep = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : 0;
        if (sep ? s[i] != sep : (s[i] < '0' || s[i] > '9')) return false;
    }
    return s == "0000-00-00 00:00:00" || Parse_DateTime(s).has_value();
}

// True for a duration text: seconds with an optional fraction ("61.5", ".25", "0").
bool Is_DurationText(const std::string& s) {
    size_t digits = 0, dots = 0;
    for (char c : s) {
        if (c == '.')
            ++dots;
        else if (c >= '0' && c <= '9')
            ++digits;
        else
            return false;
    }
    return digits > 0 && dots <= 1;
}

// One damaged byte garbles a whole cipher block of one field; the field may
// still decipher and convert, but then holds a value the writer never stores.
// Returns what is impossible about the record, or nullptr.
const char* Implausible_Field(const TRebuildResult& r) {
    if (!r.CreateTime.empty() && !Is_DateText(r.CreateTime)) return "拍摄时间不正常";
    if (!r.Durting.empty() && !Is_DurationText(r.Durting)) return "时长不正常";
    if (!Is_ValidUtf8(r.CarmerModel)) return "机型文字不正常";
    if (r.Leavelx > 3) return "等级不正常";
    if (r.TrueFileLen < 0) return "文件长度为负数";
    for (const TFragmenArr& f : r.FragmenArray) {
        if (f.FragmenSoff < 0 || f.FragmenEoff < 0) return "碎片位置为负数";
    }
    return nullptr;
}

// Stores the field entries of one block into r: the result's fields, or those
// of fragment fragIndex. roomAfter is what the record holds after the block,
// which bounds the fragment count. Returns the damage found, or "".
std::string Store_BlockFields(std::span<const uint8_t> bs, uint8_t type, int64_t roomAfter, TRebuildResult& r,
                              size_t& fragIndex) {
    const int64_t B = int64_t(bs.size());
    int64_t e = 0;
    while (e < B) {
        if (!Fits(bs, e, 2)) return "字段头不完整";
        const uint8_t tag = bs[size_t(e)];
        const int64_t L = bs[size_t(e) + 1];
        if (!Fits(bs, e + 2, L)) return "字段长度超出块末尾";
        auto text = Decrypt_FieldChecked(bs.subspan(size_t(e) + 2, size_t(L)));
        if (!text) return "字段密文长度不正常";
        const std::string s = Trim_Field(*text);
        bool ok;
        if (type == kResultBlock) {
            ok = Store_ResultField(r, tag, s);
            if (ok && tag == 9) {
                // Each fragment block takes at least its 3-byte header, which
                // bounds the count by what the record can still hold.
                if (r.Fragmenum < 0 || r.Fragmenum > roomAfter / 3) return "碎片数量不正常";
                r.FragmenArray.clear();
                fragIndex = 0;
            }
        } else {
            ok = Store_FragmentField(r.FragmenArray[fragIndex], tag, s);
        }
        if (!ok && type == kFragmentBlock && (tag == 17 || tag == 28)) return "碎片起始位置不正常";
        // The tag is no part of the language entry: the text is translated here.
        if (!ok) return Tr("字段数值不正常(标签") + Dec(tag) + ")";
        e += 2 + L;
    }
    return "";
}

// Reads the record whose 0xAA mark is at off. On Ok, r is complete and next is
// the offset of the following record; otherwise the outcome names the damage
// (untranslated) with the record's offset. budget is the memory the load may
// still take; the record's share is taken from it as its entries are read.
TOutcome Read_Record(TSource& h, int64_t fileSize, int64_t off, TRebuildResult& r, int64_t& next,
                     int64_t& budget) {
    auto corrupt = [off](std::string why) { return TOutcome::Corrupt(off, std::move(why)); };
    auto unreadable = [off] { return TOutcome::Io_Error(off, "读取记录出错"); };
    uint8_t head[5];
    if (fileSize - off < 5) return corrupt("记录头不完整");
    if (!Read_Exact(h, head, 5, off)) return unreadable();
    // The writer fills the list to the end of the file with records: anything
    // else where a record must start is damage, not the end of the list.
    if (head[0] != kRecordMark) return corrupt("记录标记不正常");
    const int64_t R = Get_LE32(head + 1);
    const int64_t start = off + 5;
    const int64_t end = start + R;
    if (end > fileSize) {
        return corrupt("记录长度超出文件末尾");
    }
    r = TRebuildResult{};
    bool haveResult = false;
    size_t fragIndex = 0;
    TBytes block;
    int64_t pos = start;
    while (pos < end) {
        if (end - pos < 3) {
            return corrupt("块头不完整");
        }
        uint8_t bh[3];
        if (!Read_Exact(h, bh, 3, pos)) return unreadable();
        const uint8_t type = bh[0];
        const int64_t B = Get_LE16(bh + 1);
        if (type != kResultBlock && type != kFragmentBlock) return corrupt("块类型不正常");
        if (pos + 3 + B > end) {
            return corrupt("块长度超出记录末尾");
        }
        if (type == kResultBlock && haveResult) {
            return corrupt("记录中有多个结果块");
        }
        if (type == kFragmentBlock && (!haveResult || int64_t(fragIndex) >= int64_t(r.Fragmenum))) {
            return corrupt(haveResult ? "碎片块多于碎片数量" : "碎片块位于结果块之前");
        }
        if (type == kFragmentBlock) {
            // The entry exists once its block is there, not because a count said so.
            r.FragmenArray.emplace_back();
            budget -= kFragmentMemory;
            if (budget < 0) {
                return corrupt("记录中的条目多于文件大小所能容纳的数量");
            }
        }
        block.assign(size_t(B), 0);
        if (B > 0 && !Read_Exact(h, block.data(), block.size(), pos + 3)) return unreadable();
        const std::string damage = Store_BlockFields(block, type, end - (pos + 3 + B), r, fragIndex);
        if (!damage.empty()) return corrupt(damage);
        if (type == kResultBlock) {
            haveResult = true;
            budget -= Result_Memory(r);
            if (budget < 0) {
                return corrupt("记录中的条目多于文件大小所能容纳的数量");
            }
        } else {
            ++fragIndex;
        }
        pos += 3 + B;
    }
    if (!haveResult) {
        return corrupt("记录中没有结果块");
    }
    if (int64_t(fragIndex) != int64_t(r.Fragmenum)) {
        return corrupt("碎片块少于碎片数量");
    }
    if (const char* implausible = Implausible_Field(r)) return corrupt(implausible);
    next = end;
    return TOutcome::Ok();
}

void Load_Error(const std::string& message) {
    Send_Log(TSeverity::Error, Tr("加载错误"), Tr(message));
}

} // namespace

// ---------------------------------------------------------------- helpers

std::string Cut_Utf8(const std::string& text, size_t max) {
    if (text.size() <= max) return text;
    size_t n = max;
    // Step back over continuation bytes so the cut lands before a lead byte.
    while (n > 0 && (uint8_t(text[n]) & 0xC0) == 0x80)
        --n;
    return text.substr(0, n);
}

std::string Trim_Field(const std::string& text) {
    size_t b = 0, e = text.size();
    while (b < e && uint8_t(text[b]) <= 0x20)
        ++b;
    while (e > b && uint8_t(text[e - 1]) <= 0x20)
        --e;
    return text.substr(b, e - b);
}

std::string Info_Identity(const TTreeData& node) {
    switch (node.Hddtype) {
    case HDD_PHYSICAL:
        return node.HddModel;
    case HDD_VOLUME:
        return node.HddFs;
    case HDD_IMAGE:
    case HDD_REGION: {
        auto slash = node.HddModel.find_last_of('/');
        return slash == std::string::npos ? node.HddModel : node.HddModel.substr(slash + 1);
    }
    default:
        return {};
    }
}

TBytes Build_InfoContent(const TTreeData& node) {
    uint8_t kind;
    std::string t0;
    switch (node.Hddtype) {
    case HDD_PHYSICAL:
        kind = kInfoDisk, t0 = node.HddNumber;
        break;
    case HDD_VOLUME:
        kind = kInfoVolume, t0 = node.HddModel;
        break;
    case HDD_IMAGE:
    case HDD_REGION:
        kind = kInfoImage, t0 = node.HddModel;
        break;
    default:
        return {};
    }
    // Tag 1 is the identity checked on load and must stay whole; tag 0 (a
    // device or file path, never checked) gives way so the content keeps to
    // kMaxInfoLen bytes.
    const std::string t2 = Dec(node.TotalSpace);
    const std::string t1 = Cut_Utf8(Info_Identity(node), kMaxInfoLen - 10 - t2.size());
    t0 = Cut_Utf8(t0, kMaxInfoLen - 10 - t2.size() - t1.size());
    TBytes out;
    out.push_back(kind);
    Put_InfoEntry(out, 0, t0);
    Put_InfoEntry(out, 1, t1);
    Put_InfoEntry(out, 2, t2);
    return out;
}

// ---------------------------------------------------------------- Result_To_Disk

namespace {

// Writes one record: its mark, its length, the result block and one block per
// fragment. block is scratch space kept between records.
bool Write_Record(TOutputFile& out, const TRebuildResult& r, TBytes& block) {
    const uint8_t recHead[5] = {kRecordMark, 0, 0, 0, 0};
    bool ok = out.Write(recHead, sizeof recHead);
    const int64_t recLenPos = out.Length() - 4;
    int64_t R = 0;
    // Fragmenum and the array length are kept equal; never read past the array.
    const int64_t frags = std::min<int64_t>(std::max(r.Fragmenum, 0), int64_t(r.FragmenArray.size()));
    ok = ok && Build_ResultBlock(r, frags, block) && out.Write(block.data(), block.size());
    R += int64_t(block.size());
    for (int64_t j = 0; j < frags && ok; ++j) {
        ok = Build_FragmentBlock(r.FragmenArray[size_t(j)], block) && out.Write(block.data(), block.size());
        R += int64_t(block.size());
    }
    uint8_t len[4];
    Put_LE32(len, uint32_t(R));
    return ok && out.Write_At(len, 4, recLenPos);
}

} // namespace

TOutcome Result_To_Disk(TScanSession& session, const std::string& path, const TTreeData& node,
                        const TGuardOptions& output, TTakenName taken, std::string* written) {
    auto& st = session.Op;
    const TOpBinding reporting(st);
    const std::string kind = Tr("错误类型:Result0000");
    if (written) written->clear();
    TBytes info = Build_InfoContent(node);
    // Logs the failure and hands it back.
    auto fail = [&](TOutcome outcome) {
        Send_Log(TSeverity::Error, kind, outcome.Why + "," + Tr("路径") + ":" + path);
        return outcome;
    };
    if (info.empty()) return fail(TOutcome::Refused(Tr("源类型不正常,无法保存扫描结果!")));
    if (taken == TTakenName::Refuse && Path_Taken(path))
        return fail(TOutcome::Refused(Tr("文件已存在,不会被覆盖!")));
    TGuardVerdict refusal;
    auto out = TOutputFile::Create(path, TOutputGuard({Get_SourcePath(node)}, output), &refusal);
    if (!out)
        return fail(refusal.Allowed() ? TOutcome::Io_Error(-1, Tr("创建扫描结果文件出错!"))
                                      : TOutcome::Refused(refusal.Reason));
    st.Set_StartTime(std::chrono::system_clock::now());
    Send_Log(Tr("扫描结果"), Tr("开始保存扫描结果") + "," + Tr("路径") + ":" + path);

    bool ok = true;
    auto put = [&](const void* p, size_t n) { ok = ok && out->Write(p, n); };

    uint8_t header[12] = {'Q', 'R', 'V', 'L', 1, kFormatMark, 0, 0, 0, 0, 0, 0};
    put(header, sizeof header);
    uint8_t infoHead[8] = {'I', 'N', 'F', 'O'};
    Put_LE32(infoHead + 4, uint32_t(info.size()));
    put(infoHead, sizeof infoHead);
    put(info.data(), info.size());
    const int64_t listLenPos = out->Length() + 4;
    uint8_t listHead[8] = {'L', 'I', 'S', 'T', 0, 0, 0, 0};
    put(listHead, sizeof listHead);

    const int64_t count = session.Rebuilds.Count();
    Send_UIMessage(MSG_PROGRESS_START, {Dec(count), Tr("总数量") + ":"});
    st.Progress1 = 0;
    st.Progress2 = 0;

    TBytes block;
    for (int64_t i = 0; i < count && ok; ++i) {
        ok = ok && Write_Record(*out, session.Rebuilds.Get(i), block);
        st.Progress1 = int32_t(i);
        Send_UIMessage(MSG_PROGRESS_STATUS, {"", Tr("已添加数量") + ":" + Dec(i), ""});
    }

    uint8_t len[4];
    Put_LE32(len, uint32_t(out->Length() - (28 + int64_t(info.size()))));
    ok = ok && out->Write_At(len, 4, listLenPos);
    Put_LE32(len, uint32_t(out->Length() - 12));
    ok = ok && out->Write_At(len, 4, 8);
    // Named only when whole; never over an existing file.
    ok = ok && out->Commit(taken);
    out->Close();

    TOutcome result = TOutcome::Ok();
    if (ok) {
        if (out->Path() != path) Send_Log(Tr("扫描结果"), Tr("文件名已被占用,保存为") + ":" + out->Path());
        if (written) *written = out->Path();
        Send_Log(Tr("保存完成"), Tr("保存结果完毕!"));
    } else {
        result = fail(TOutcome::Io_Error(out->Length(), Tr("写入扫描结果文件出错!")));
    }
    Close_Progress();
    return result;
}

// ---------------------------------------------------------------- Load_To_List

namespace {

// The header, the INFO section and the source identity, read from the first
// bytes of the file. Returns the message of the first check that fails, or an
// empty text with N (the INFO length) set.
std::string Check_FileHead(std::span<const uint8_t> hb, const TTreeData& node, int64_t& N) {
    if (!Tag_At(hb, 0, "QRVL") || U8_At(hb, 5) != kFormatMark || !Fits(hb, 0, 8))
        return "文件头和标识不正常,无法加载扫描结果!";
    if (!Tag_At(hb, 12, "INFO") || !Fits(hb, 16, 4)) return "1标识不正常,无法加载扫描结果!";
    N = LE32_At(hb, 16);
    if (N == 0 || N > kMaxInfoLen || !Fits(hb, 20, N)) return "INFO长度不正常,无法加载扫描结果!";
    std::span<const uint8_t> info = hb.subspan(20, size_t(N));
    const uint8_t kind = info[0];
    if (kind != kInfoImage && kind != kInfoVolume && kind != kInfoDisk) return "类型标识不正常,无法加载扫描结果!";
    if (kind == kInfoImage && node.Hddtype != HDD_IMAGE && node.Hddtype != HDD_REGION)
        return "镜像类型标识不正常,无法加载扫描结果!";
    if (kind == kInfoVolume && node.Hddtype != HDD_VOLUME) return "逻辑盘类型标识不正常,无法加载扫描结果!";
    if (kind == kInfoDisk && node.Hddtype != HDD_PHYSICAL) return "物理盘类型标识不正常,无法加载扫描结果!";
    const std::string identity = Info_Identity(node);
    bool identityOk = true;
    for (int64_t e = 1; e < N;) {
        if (!Fits(info, e, 3)) return "INFO内容不正常,无法加载扫描结果!";
        const uint8_t tag = info[size_t(e)];
        const int64_t L = LE16_At(info, e + 1);
        if (!Fits(info, e + 3, L)) return "INFO内容不正常,无法加载扫描结果!";
        if (tag == 1) {
            std::string text(reinterpret_cast<const char*>(info.data()) + e + 3, size_t(L));
            if (text != identity) identityOk = false;
        }
        e += 3 + L;
    }
    if (!identityOk) return "文件标识00不正常,无法加载扫描结果!";
    return {};
}

// Appends the records from off to the end of the file to rebuilds.
// Stops at the first damaged or unreadable record, which it logs and reports;
// the records before it stay loaded.
void Read_Records(TOpState& st, TRecordList<TRebuildResult>& rebuilds, TSource& h, int64_t fileSize,
                  int64_t off, TLoadReport& rep) {
    int64_t index = 0;
    int64_t budget = kLoadMemoryPerByte * fileSize + kLoadMemorySlack;
    while (off < fileSize) {
        if (st.StopFlag.load()) {
            rep.Stopped = true;
            return;
        }
        TRebuildResult r;
        int64_t next = 0;
        TOutcome o;
        try {
            o = Read_Record(h, fileSize, off, r, next, budget);
        } catch (const std::bad_alloc&) {
            o = TOutcome::Corrupt(off, "内存不足,无法读取记录");
        }
        if (!o.Is_Ok()) {
            rep.DamagedRecord = index + 1;
            Send_Log(TSeverity::Error, Tr("加载错误"),
                     Tr("扫描结果文件已损坏") + "," + Tr("第") + Dec(index + 1) + Tr("条记录") + ":" +
                         Translate_Caption(o.Why, false) + "," + Tr("偏移") + ":" + Dec(o.Offset) + ";" +
                         Tr("已加载之前的记录"));
            // A reason with a number in it was translated where it was made.
            o.Why = Translate_Caption(o.Why, false);
            rep.Outcome = std::move(o);
            return;
        }
        rebuilds.Append(std::move(r));
        ++index;
        off = next;
        st.Progress1 = int32_t(off / 65536);
        Send_UIMessage(MSG_PROGRESS_STATUS, {"", Tr("已添加长度") + ":" + Dec(off / 512) + Tr("扇区"), ""});
    }
}

} // namespace

bool Load_To_List(TScanSession& session, const std::string& path, const TTreeData* node,
                  TLoadReport* report) {
    TLoadReport dummy;
    TLoadReport& rep = report ? *report : dummy;
    rep = {};
    auto& st = session.Op;
    const TOpBinding reporting(st);
    if (!node) {
        Load_Error("没有选择扫描结果所属的源,请先选择源再加载扫描结果!");
        return false;
    }
    TSourcePtr h = Open_Source(path);
    const int64_t fileSize = h ? h->Size() : -1;
    Send_UIMessage(MSG_PROGRESS_START, {Dec(std::max<int64_t>(fileSize, 0) / 512), Tr("加载总长度") + ":"});
    Send_Log(Tr("加载结果"), Tr("开始加载扫描结果") + "," + Tr("路径") + ":" + path);

    // Header, INFO and the LIST header lie in the first 1024 bytes.
    TBytes head(kHeadRead, 0);
    int64_t got = 0;
    if (h && fileSize > 0) {
        got = h->Read_At(head.data(), size_t(std::min<int64_t>(fileSize, kHeadRead)), 0);
        if (got < 0) got = 0;
    }
    std::span<const uint8_t> hb(head.data(), size_t(got));
    int64_t N = 0;
    std::string refusal = Check_FileHead(hb, *node, N);
    bool accepted = refusal.empty();
    if (accepted) {
        // The file belongs to this source: its lists are replaced, even when
        // the LIST section turns out to be missing.
        session.Scans.Clear();
        session.Rebuilds.Clear();
        if (!Tag_At(hb, 20 + N, "LIST")) {
            refusal = "标识2错误无法正常加载!";
            accepted = false;
        }
    }
    if (accepted) {
        Send_UIMessage(MSG_PROGRESS_START, {Dec(fileSize / 65536), Tr("总块数:")});
        st.Progress1 = 0;
        st.Progress2 = 0;
        Read_Records(st, session.Rebuilds, *h, fileSize, 28 + N, rep);
        rep.Loaded = session.Rebuilds.Count();
    } else {
        Load_Error(refusal);
    }
    // The closing line says whether the whole file was loaded.
    const bool whole = accepted && rep.Outcome.Is_Ok() && !rep.Stopped;
    Send_Log(Tr("加载结果"), whole        ? Tr("加载结果完成!")
                             : rep.Stopped ? Tr("加载结果已停止!") + " " + Tr("已加载记录数量:") + Dec(rep.Loaded)
                                           : Tr("加载结果未能完成!"));

    h.reset();
    Close_Progress();
    if (accepted && rep.Loaded > 0) {
        // The results now belong to this node's medium: export and preview open it.
        session.Set_SourcePath(Get_SourcePath(*node));
        Send_UIMessage(MSG_VIEW_AFTER_LOAD);
    }
    return accepted;
}

} // namespace qrv
