#include "emulator/model/state_dump.h"

#include <cstdio>
#include <fstream>
#include <system_error>

namespace VantriEmu {

namespace {

bool WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes, std::string& error)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        error = "cannot write " + path.string();
        return false;
    }
    return true;
}

bool WriteText(const std::filesystem::path& path, const std::string& text, std::string& error)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        error = "cannot write " + path.string();
        return false;
    }
    return true;
}

std::string StateText(const AdapterModel& adapter)
{
    const ModelCounts counts = adapter.Counts();
    const std::vector<std::uint8_t> image = adapter.Image();
    std::string text;
    auto line = [&text](const char* key, auto value) {
        text += key;
        text += '=';
        text += std::to_string(value);
        text += '\n';
    };
    text += "version=" + adapter.Settings().version + "\n";
    line("image_received", adapter.ImageReceived() ? 1 : 0);
    line("image_size", image.size());
    line("images_received", counts.imagesReceived);
    line("config_area_writes", counts.configAreaWrites);
    line("config_area_reads", counts.configAreaReads);
    line("primary_writes", counts.primaryWrites);
    line("overflow_writes", counts.overflowWrites);
    line("configs_erased", adapter.ConfigsErased() ? 1 : 0);
    line("settings_erased", adapter.SettingsErased() ? 1 : 0);
    line("vanished", adapter.Vanished() ? 1 : 0);
    line("output_reports", counts.outputReports);
    line("answers_read", counts.answersRead);
    line("refusals", counts.refusals);
    const std::vector<Violation> violations = adapter.Violations();
    line("violations", violations.size());
    for (const Violation& v : violations) {
        char head[96];
        std::snprintf(head, sizeof head, "violation=%llu %u %u 0x%02X ", static_cast<unsigned long long>(v.report),
                      v.command, v.parameter, v.code);
        text += head + v.what + "\n";
    }
    return text;
}

std::string TranscriptText(const AdapterModel& adapter)
{
    std::string text;
    for (const TranscriptEntry& entry : adapter.Transcript()) {
        text += entry.toAdapter ? "> " : "< ";
        text += FrameHex(entry.frame);
        text += '\n';
    }
    return text;
}

} // namespace

std::string FrameHex(const CommandFrame& frame)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&frame);
    std::string hex;
    hex.reserve(Vantri::kFrameSize * 3);
    for (std::uint32_t i = 0; i < Vantri::kFrameSize; ++i) {
        if (i != 0)
            hex += ' ';
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 0x0F];
    }
    return hex;
}

bool DumpAdapterState(const AdapterModel& adapter, const std::filesystem::path& folder, std::string& error)
{
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        error = "cannot create " + folder.string() + ": " + ec.message();
        return false;
    }
    if (adapter.ImageReceived() && !WriteBytes(folder / "image.bin", adapter.Image(), error))
        return false;
    return WriteBytes(folder / "config.bin", adapter.ConfigArea(), error) &&
           WriteBytes(folder / "primary.bin", adapter.PrimaryRegion(), error) &&
           WriteBytes(folder / "overflow.bin", adapter.OverflowRegion(), error) &&
           WriteText(folder / "state.txt", StateText(adapter), error) &&
           WriteText(folder / "transcript.txt", TranscriptText(adapter), error);
}

} // namespace VantriEmu
