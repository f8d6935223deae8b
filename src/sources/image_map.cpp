#include "sources/image_map.h"

#include <cinttypes>
#include <algorithm>
#include <cstdio>
#include <sstream>

namespace qrv {

int64_t TImageMap::DoneBytes() const {
    int64_t done = 0;
    for (const TMapRun& r : Runs) {
        if (r.Status == '?') break;
        done = r.Pos + r.Size;
    }
    return done;
}

int64_t TImageMap::Extent() const {
    int64_t end = 0;
    for (const TMapRun& r : Runs)
        if (r.Status != '?') end = r.Pos + r.Size;
    return end;
}

int64_t TImageMap::Bytes_Of(char status) const {
    int64_t n = 0;
    for (const TMapRun& r : Runs)
        if (r.Status == status) n += r.Size;
    return n;
}

namespace {

void Add_Run(std::vector<TMapRun>& runs, int64_t pos, int64_t size, char status) {
    if (size <= 0) return;
    if (!runs.empty() && runs.back().Status == status && runs.back().Pos + runs.back().Size == pos) {
        runs.back().Size += size;
        return;
    }
    runs.push_back({pos, size, status});
}

} // namespace

void Mark_Run(std::vector<TMapRun>& runs, int64_t pos, int64_t size, char status) {
    if (size <= 0) return;
    std::vector<TMapRun> out;
    out.reserve(runs.size() + 2);
    const int64_t end = pos + size;
    bool placed = false;
    for (const TMapRun& r : runs) {
        const int64_t rEnd = r.Pos + r.Size;
        if (rEnd <= pos || r.Pos >= end) {
            if (r.Pos >= end && !placed) {
                Add_Run(out, pos, size, status);
                placed = true;
            }
            Add_Run(out, r.Pos, r.Size, r.Status);
            continue;
        }
        Add_Run(out, r.Pos, std::max<int64_t>(pos - r.Pos, 0), r.Status);
        if (!placed) {
            Add_Run(out, pos, size, status);
            placed = true;
        }
        if (rEnd > end) Add_Run(out, end, rEnd - end, r.Status);
    }
    if (!placed) Add_Run(out, pos, size, status);
    runs.swap(out);
}

std::vector<TMapRun> Map_Runs(int64_t total, int64_t done, const std::vector<TUnreadRun>& bad, int64_t base) {
    std::vector<TMapRun> runs;
    int64_t at = 0;
    for (const TUnreadRun& u : bad) {
        const int64_t from = std::max<int64_t>(u.Off - base, at);
        const int64_t to = std::min<int64_t>(u.End() - base, done);
        if (to <= from) continue;
        Add_Run(runs, at, from - at, '+');
        Add_Run(runs, from, to - from, '-');
        at = to;
    }
    Add_Run(runs, at, done - at, '+');
    Add_Run(runs, done, total - done, '?');
    return runs;
}

std::string Image_MapText(const TImageMap& m) {
    std::string t = "# Mapfile. Created by qrv-cli image\n";
    t += "# Source: " + m.Source + "\n";
    t += "# Source bytes: " + std::to_string(m.SourceBytes) + "\n";
    t += "# Sectors: " + std::to_string(m.StartSector) + " " + std::to_string(m.EndSector) + " " +
         std::to_string(m.SectorBytes) + "\n";
    if (!m.Partial.empty()) t += "# Partial: " + m.Partial + "\n";
    char line[96];
    t += "# current_pos  current_status  current_pass\n";
    std::snprintf(line, sizeof line, "0x%08" PRIX64 "     %c               %d\n", uint64_t(m.CurrentPos),
                  m.CurrentStatus, m.Pass);
    t += line;
    t += "#      pos        size  status\n";
    for (const TMapRun& r : m.Runs) {
        std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", uint64_t(r.Pos),
                      uint64_t(r.Size), r.Status);
        t += line;
    }
    return t;
}

std::optional<TImageMap> Parse_ImageMap(const std::string& text, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<TImageMap> {
        if (error) *error = why;
        return std::nullopt;
    };
    TImageMap m;
    bool status = false, sectors = false, size = false;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (line[0] == '#') {
            if (line.rfind("# Source: ", 0) == 0) m.Source = line.substr(10);
            else if (line.rfind("# Partial: ", 0) == 0) m.Partial = line.substr(11);
            else if (line.rfind("# Source bytes: ", 0) == 0) size = std::sscanf(line.c_str() + 16, "%" SCNd64, &m.SourceBytes) == 1;
            else if (line.rfind("# Sectors: ", 0) == 0)
                sectors = std::sscanf(line.c_str() + 11, "%" SCNd64 " %" SCNd64 " %" SCNd64, &m.StartSector,
                                      &m.EndSector, &m.SectorBytes) == 3;
            continue;
        }
        uint64_t a = 0, b = 0;
        char c = 0;
        int pass = 0;
        if (!status) {
            if (std::sscanf(line.c_str(), "%" SCNi64 " %c %d", &a, &c, &pass) < 2) return fail("no status line");
            m.CurrentPos = int64_t(a);
            m.CurrentStatus = c;
            m.Pass = pass > 0 ? pass : 1;
            status = true;
            continue;
        }
        if (std::sscanf(line.c_str(), "%" SCNi64 " %" SCNi64 " %c", &a, &b, &c) != 3 ||
            (c != '+' && c != '-' && c != '?' && c != '*' && c != '/'))
            return fail("bad line: " + line);
        const int64_t expect = m.Runs.empty() ? 0 : m.Runs.back().Pos + m.Runs.back().Size;
        if (int64_t(a) != expect || int64_t(b) <= 0) return fail("runs not contiguous at " + line);
        // Stretches another tool left untrimmed or unscraped are taken as not tried.
        c = c == '*' || c == '/' ? '?' : c;
        m.Runs.push_back({int64_t(a), int64_t(b), c});
    }
    if (!status) return fail("no status line");
    if (!sectors || !size || m.SectorBytes <= 0 || m.EndSector <= m.StartSector)
        return fail("the map does not name its source and sector range");
    const int64_t end = m.Runs.empty() ? 0 : m.Runs.back().Pos + m.Runs.back().Size;
    if (end != m.RangeBytes()) return fail("the runs do not cover the imaged range");
    return m;
}

} // namespace qrv
