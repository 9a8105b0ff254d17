#include "format/patch_file.h"

#include <algorithm>
#include <cstdio>

#include "core/constants.h"
#include "format/crc.h"
#include "core/patch_data.h"
#include "core/references.h"

namespace mendsmith::format {

namespace {

// The stub's "no source to check against" value (SOURCE_UNCHECKED in patch_data.cpp).
constexpr std::uint32_t kSourceUnchecked = 0xFFFFFFFFu;

std::string Hex32(std::uint32_t value)
{
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::size_t OffsetOf(const PatchCursor& cursor, ByteView data)
{
    return static_cast<std::size_t>(cursor.at - data.data());
}

// Why ReadPatchEntryHeader refused the entry at cursor.
std::string HeaderProblem(const PatchCursor& cursor)
{
    std::size_t left = static_cast<std::size_t>(cursor.end - cursor.at);
    if (left < 8)
        return "checksums cut short by the end of the data";
    const unsigned char* nul = std::find(cursor.at + 8, cursor.end, 0);
    if (nul == cursor.end)
        return "entry path runs past the end of the data";
    return "body missing after the entry path";
}

// Why NextPatchOp refused the op at cursor (its range is never checked here).
std::string OpProblem(const PatchCursor& cursor)
{
    if (cursor.at >= cursor.end)
        return "op list runs past the end of the data";
    unsigned byte = cursor.at[0];
    if (byte != OP_COPY && byte != OP_LITERAL)
        return "invalid op byte " + std::to_string(byte);
    return std::string(byte == OP_COPY ? "copy" : "literal") + " op runs past the end of the data";
}

// Why ReadDiffBody refused the body at cursor.
std::string DiffBodyProblem(const PatchCursor& cursor)
{
    std::uint64_t left = static_cast<std::uint64_t>(cursor.end - cursor.at);
    if (left < DIFF_HEADER_SIZE)
        return "difference body's counts run past the end of the data";
    ByteView fields(cursor.at, DIFF_HEADER_SIZE);
    std::uint64_t controls = LoadU32(fields, 1), difference = LoadU32(fields, 5), extra = LoadU32(fields, 9);
    if (DIFF_HEADER_SIZE + controls * DIFF_CONTROL_SIZE + difference + extra > left)
        return "difference body of " + std::to_string(controls) + " controls, " + std::to_string(difference) +
               " difference and " + std::to_string(extra) + " extra bytes runs past the end of the data";
    return "difference body's controls do not add up to its " + std::to_string(difference) + " difference and " +
           std::to_string(extra) + " extra bytes";
}

// Why ReadPredictedBody refused the body at cursor.
std::string PredictedBodyProblem(const PatchCursor& cursor)
{
    std::uint64_t left = static_cast<std::uint64_t>(cursor.end - cursor.at);
    if (left < PREDICTED_HEADER_SIZE)
        return "predicted body's header runs past the end of the data";
    ByteView head(cursor.at, PREDICTED_HEADER_SIZE);
    if ((head[1] & ~REFERENCE_KINDS) != 0)
        return "predicted body's flags " + std::to_string(head[1]) + " hold an unknown bit";
    std::uint64_t sections = head[2] | head[3] << 8;
    if (PREDICTED_HEADER_SIZE + sections * PREDICTED_SECTION_SIZE > left)
        return "predicted body's " + std::to_string(sections) + " sections run past the end of the data";
    ByteView table(cursor.at + PREDICTED_HEADER_SIZE, sections * PREDICTED_SECTION_SIZE);
    for (std::uint64_t i = 0; i < sections; i++)
        if (std::uint64_t{LoadU32(table, i * 12)} + LoadU32(table, i * 12 + 4) > 0xFFFFFFFFu)
            return "predicted body's section " + std::to_string(i + 1) + " ends beyond 4 GiB";
    // The rest is a difference body's, one byte before it standing for the kind.
    return DiffBodyProblem({cursor.at + PREDICTED_HEADER_SIZE + sections * PREDICTED_SECTION_SIZE - 1, cursor.end});
}

DiffBody DecodeDiffBody(const PatchDiffBody& body)
{
    DiffBody decoded;
    decoded.controls.reserve(body.controlCount);
    for (std::uint32_t i = 0; i < body.controlCount; i++) {
        PatchDiffControl control{};
        ReadDiffControl(&body, i, &control);
        decoded.controls.push_back({control.addLength, control.extraLength, control.step});
    }
    decoded.difference.assign(body.difference, body.difference + body.differenceSize);
    decoded.extra.assign(body.extra, body.extra + body.extraSize);
    return decoded;
}

Prediction DecodePrediction(const PatchPredictedBody& body)
{
    Prediction prediction;
    prediction.flags = static_cast<std::uint8_t>(body.flags);
    prediction.imageBase = body.imageBase;
    ByteView table(body.sections, body.sectionCount * PREDICTED_SECTION_SIZE);
    for (std::size_t i = 0; i < body.sectionCount; i++)
        prediction.sections.push_back({LoadU32(table, i * 12), LoadU32(table, i * 12 + 4), LoadU32(table, i * 12 + 8)});
    return prediction;
}

void AppendToBytes(void* out, const unsigned char* data, std::uint32_t size)
{
    static_cast<Bytes*>(out)->insert(static_cast<Bytes*>(out)->end(), data, data + size);
}

// Appends the body in place: a body is as large as its file, so no second copy is made.
// With direct, the difference and extra bytes go to it after out, as they stand, instead of
// being copied into out.
void AppendDiffBody(Bytes& out, const DiffBody& body, const Prediction* prediction = nullptr,
                    const ByteSink* direct = nullptr)
{
    std::uint64_t added = 0, extra = 0;
    for (const DiffControl& control : body.controls) {
        added += control.addLength;
        extra += control.extraLength;
    }
    if (added != body.difference.size() || extra != body.extra.size())
        throw FormatError("difference body's controls add " + std::to_string(added) + " and " + std::to_string(extra) +
                          " bytes, but it holds " + std::to_string(body.difference.size()) + " difference and " +
                          std::to_string(body.extra.size()) + " extra bytes");
    std::uint64_t size = DIFF_HEADER_SIZE + std::uint64_t{DIFF_CONTROL_SIZE} * body.controls.size() +
                         body.difference.size() + body.extra.size();
    if (prediction != nullptr) {
        if ((prediction->flags & ~REFERENCE_KINDS) != 0 || prediction->sections.size() > 0xFFFF)
            throw FormatError("predicted body with flags " + std::to_string(prediction->flags) + " and " +
                              std::to_string(prediction->sections.size()) + " sections");
        size += PREDICTED_HEADER_SIZE - 1 + PREDICTED_SECTION_SIZE * prediction->sections.size();
    }
    CheckedU32(size, "difference body");
    if (prediction != nullptr) {
        out.push_back(BODY_PREDICTED);
        out.push_back(prediction->flags);
        out.push_back(static_cast<std::uint8_t>(prediction->sections.size()));
        out.push_back(static_cast<std::uint8_t>(prediction->sections.size() >> 8));
        AppendU32(out, static_cast<std::uint32_t>(prediction->imageBase));
        AppendU32(out, static_cast<std::uint32_t>(prediction->imageBase >> 32));
        for (const PredictedSection& section : prediction->sections) {
            if (std::uint64_t{section.offset} + section.size > 0xFFFFFFFFu)
                throw FormatError("predicted body's section at " + std::to_string(section.offset) +
                                  " ends beyond 4 GiB");
            AppendU32(out, section.offset);
            AppendU32(out, section.size);
            AppendU32(out, section.rva);
        }
    } else {
        out.push_back(BODY_DIFFERENCE);
    }
    AppendU32(out, static_cast<std::uint32_t>(body.controls.size()));
    AppendU32(out, static_cast<std::uint32_t>(body.difference.size()));
    AppendU32(out, static_cast<std::uint32_t>(body.extra.size()));
    for (const DiffControl& control : body.controls) {
        AppendU32(out, control.addLength);
        AppendU32(out, control.extraLength);
        AppendU32(out, static_cast<std::uint32_t>(control.step));
    }
    if (direct != nullptr) {
        (*direct)(out);
        out.clear();
        (*direct)(body.difference);
        (*direct)(body.extra);
        return;
    }
    AppendBytes(out, body.difference);
    AppendBytes(out, body.extra);
}

} // namespace

Op Op::MakeLiteral(Bytes bytes)
{
    std::uint32_t length = CheckedU32(bytes.size(), "literal op");
    return {OpKind::Literal, length, 0, std::move(bytes)};
}

bool IsSafeEntryPathString(std::string_view path)
{
    if (path.size() > MAX_PATH_CHARS || path.find('\0') != std::string_view::npos)
        return false;
    std::string terminated(path);
    return IsSafeEntryPath(terminated.c_str()) != 0;
}

namespace {

void CheckEntryCount(std::size_t count)
{
    if (count > ENTRY_COUNT_MASK)
        throw FormatError("Patch.dat: " + std::to_string(count) + " entries, more than 65535");
}

// Appends entry number index (from 0) but for a streamed body's bytes, which follow what this
// appends. With direct, what out holds and then a body's large parts go to it as they stand,
// and out keeps what follows them.
void AppendEntry(Bytes& out, const PatchEntry& entry, std::size_t index, const ByteSink* direct = nullptr)
{
    const std::string where = "Patch.dat entry " + std::to_string(index + 1) + " (" + entry.path + ")";
    if (!IsSafeEntryPathString(entry.path))
        throw FormatError(where + ": entry path is not a safe backslash-led relative path");
    const bool removal = entry.Kind() == BodyKind::Removal;
    AppendU32(out, entry.sourceCrc);
    AppendU32(out, removal ? 0 : entry.targetCrc);
    AppendBytes(out, AsBytes(entry.path));
    out.push_back(0);
    if (removal) {
        out.push_back(BODY_REMOVAL);
        return;
    }
    if (entry.attached) {
        out.push_back(BODY_ATTACHED);
        if (entry.streamed) {
            AppendU32(out, CheckedU32(entry.streamed->extraSize, where + " attached data"));
            return;
        }
        AppendU32(out, CheckedU32(entry.data.size(), where + " attached data"));
        if (direct != nullptr) {
            (*direct)(out);
            out.clear();
            (*direct)(entry.data);
        } else {
            AppendBytes(out, entry.data);
        }
        return;
    }
    if (entry.difference) {
        try {
            AppendDiffBody(out, *entry.difference, entry.prediction ? &*entry.prediction : nullptr, direct);
        } catch (const FormatError& e) {
            throw FormatError(where + ": " + e.what());
        }
        return;
    }
    if (entry.streamed) {
        const StreamedDiff& body = *entry.streamed;
        std::uint64_t added = 0, extra = 0;
        for (const DiffControl& control : body.controls) {
            added += control.addLength;
            extra += control.extraLength;
        }
        if (added != body.differenceSize || extra != body.extraSize)
            throw FormatError(where + ": difference body's controls add " + std::to_string(added) + " and " +
                              std::to_string(extra) + " bytes, but it holds " + std::to_string(body.differenceSize) +
                              " difference and " + std::to_string(body.extraSize) + " extra bytes");
        CheckedU32(DIFF_HEADER_SIZE + std::uint64_t{DIFF_CONTROL_SIZE} * body.controls.size() + added + extra,
                   where + " difference body");
        out.push_back(BODY_DIFFERENCE);
        AppendU32(out, static_cast<std::uint32_t>(body.controls.size()));
        AppendU32(out, static_cast<std::uint32_t>(added));
        AppendU32(out, static_cast<std::uint32_t>(extra));
        for (const DiffControl& control : body.controls) {
            AppendU32(out, control.addLength);
            AppendU32(out, control.extraLength);
            AppendU32(out, static_cast<std::uint32_t>(control.step));
        }
        return;
    }
    for (const Op& op : entry.ops) {
        if (op.kind == OpKind::Copy) {
            out.push_back(OP_COPY);
            AppendU32(out, op.length);
            AppendU32(out, op.sourceOffset);
        } else if (op.kind == OpKind::Literal) {
            if (op.length != op.literal.size())
                throw FormatError(where + ": literal op length " + std::to_string(op.length) + " differs from its " +
                                  std::to_string(op.literal.size()) + " bytes");
            out.push_back(OP_LITERAL);
            AppendU32(out, op.length);
            AppendBytes(out, op.literal);
        } else {
            throw FormatError(where + ": op of unknown kind");
        }
    }
    out.push_back(OP_END);
}

// A streamed body's bytes after what AppendEntry wrote; they must come to its sizes exactly.
void WriteStreamedBytes(const PatchEntry& entry, std::size_t index, const ByteSink& sink)
{
    std::uint64_t written = 0;
    entry.streamed->writeBytes([&](ByteView piece) {
        written += piece.size();
        sink(piece);
    });
    if (written != entry.streamed->differenceSize + entry.streamed->extraSize)
        throw FormatError("Patch.dat entry " + std::to_string(index + 1) + " (" + entry.path +
                          "): " + std::to_string(written) + " body bytes made, not " +
                          std::to_string(entry.streamed->differenceSize + entry.streamed->extraSize));
}

} // namespace

Bytes WritePatchFile(std::span<const PatchEntry> entries)
{
    CheckEntryCount(entries.size());
    // Sized once: bodies are as large as their files, and a growing buffer would briefly hold
    // the whole of Patch.dat twice.
    Bytes out;
    out.reserve(PatchFileSize(entries));
    AppendU32(out, static_cast<std::uint32_t>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); i++) {
        AppendEntry(out, entries[i], i);
        if (entries[i].streamed)
            WriteStreamedBytes(entries[i], i, [&](ByteView piece) { AppendBytes(out, piece); });
    }
    return out;
}

void WritePatchFile(std::span<const PatchEntry> entries, const ByteSink& sink)
{
    CheckEntryCount(entries.size());
    Bytes out;
    AppendU32(out, static_cast<std::uint32_t>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); i++) {
        AppendEntry(out, entries[i], i, &sink);
        if (!out.empty())
            sink(out);
        out.clear();
        if (entries[i].streamed)
            WriteStreamedBytes(entries[i], i, sink);
    }
    // The entry count alone, when there is no entry.
    if (!out.empty())
        sink(out);
}

std::uint64_t PatchFileSize(std::span<const PatchEntry> entries)
{
    std::uint64_t size = 4;
    for (const PatchEntry& entry : entries)
        size += 9 + entry.path.size() + EncodedBodySize(entry);
    return size;
}

std::vector<PatchEntry> ReadPatchFile(ByteView data)
{
    PatchCursor cursor{data.data(), data.data() + data.size()};
    std::uint32_t count = 0;
    if (!ReadPatchEntryCount(&cursor, &count))
        throw FormatError("Patch.dat: " + std::to_string(data.size()) + " bytes, too short for the entry count");
    std::vector<PatchEntry> entries;
    entries.reserve(count);
    for (std::uint32_t i = 0; i < count; i++) {
        std::string where =
            "Patch.dat entry " + std::to_string(i + 1) + " at offset " + HexOffset(OffsetOf(cursor, data));
        PatchEntryHeader header{};
        PatchCursor before = cursor;
        if (!ReadPatchEntryHeader(&cursor, &header))
            throw FormatError(where + ": " + HeaderProblem(before));
        PatchEntry entry;
        entry.sourceCrc = header.sourceCrc;
        // A removal's target CRC is never read, as in the stub: it stays 0 whatever stands there.
        entry.targetCrc = header.removal ? 0 : header.targetCrc;
        entry.path.assign(header.path, header.pathLength);
        where += " (" + entry.path + ")";
        if (!IsSafeEntryPathString(entry.path))
            throw FormatError(where + ": entry path is not a safe backslash-led relative path");
        entry.attached = header.attached != 0;
        entry.removal = header.removal != 0;
        if (entry.removal) {
            (void)SkipPatchBody(&cursor, &header);
        } else if (entry.attached) {
            const unsigned char* body = nullptr;
            std::uint32_t size = 0;
            if (!ReadAttachedBody(&cursor, &body, &size))
                throw FormatError(where + ": attached data runs past the end of the data");
            entry.data.assign(body, body + size);
        } else if (header.difference) {
            PatchCursor atBody = cursor;
            PatchDiffBody body{};
            if (!ReadDiffBody(&cursor, &body))
                throw FormatError(where + ", body at offset " + HexOffset(OffsetOf(atBody, data)) + ": " +
                                  DiffBodyProblem(atBody));
            entry.difference = DecodeDiffBody(body);
        } else if (header.predicted) {
            PatchCursor atBody = cursor;
            PatchPredictedBody body{};
            if (!ReadPredictedBody(&cursor, &body))
                throw FormatError(where + ", body at offset " + HexOffset(OffsetOf(atBody, data)) + ": " +
                                  PredictedBodyProblem(atBody));
            entry.difference = DecodeDiffBody(body.diff);
            entry.prediction = DecodePrediction(body);
        } else {
            for (;;) {
                std::size_t opOffset = OffsetOf(cursor, data);
                PatchCursor atOp = cursor;
                ::PatchOp op{};
                int kind = NextPatchOp(&cursor, kSourceUnchecked, &op);
                if (kind == OP_END)
                    break;
                if (kind == PATCH_OP_INVALID)
                    throw FormatError(where + ", op at offset " + HexOffset(opOffset) + ": " + OpProblem(atOp));
                if (kind == OP_COPY)
                    entry.ops.push_back(Op::MakeCopy(op.length, op.sourceOffset));
                else
                    entry.ops.push_back(Op::MakeLiteral(Bytes(op.literal, op.literal + op.length)));
            }
        }
        entries.push_back(std::move(entry));
    }
    if (cursor.at != cursor.end)
        throw FormatError("Patch.dat: " + std::to_string(cursor.end - cursor.at) +
                          " bytes after the last entry at offset " + HexOffset(OffsetOf(cursor, data)));
    return entries;
}

Bytes ApplyOps(ByteView old, std::span<const Op> ops)
{
    Bytes out;
    for (std::size_t i = 0; i < ops.size(); i++) {
        const Op& op = ops[i];
        if (op.kind == OpKind::Copy) {
            if (op.sourceOffset > old.size() || old.size() - op.sourceOffset < op.length)
                throw FormatError("op " + std::to_string(i + 1) + ": copy of " + std::to_string(op.length) +
                                  " bytes at source offset " + std::to_string(op.sourceOffset) + " lies outside the " +
                                  std::to_string(old.size()) + "-byte source");
            AppendBytes(out, old.subspan(op.sourceOffset, op.length));
        } else {
            if (op.length != op.literal.size())
                throw FormatError("op " + std::to_string(i + 1) + ": literal length " + std::to_string(op.length) +
                                  " differs from its " + std::to_string(op.literal.size()) + " bytes");
            AppendBytes(out, op.literal);
        }
    }
    return out;
}

Bytes EncodeDiffBody(const DiffBody& body)
{
    Bytes out;
    out.reserve(DIFF_HEADER_SIZE + DIFF_CONTROL_SIZE * body.controls.size() + body.difference.size() +
                body.extra.size());
    AppendDiffBody(out, body);
    return out;
}

std::size_t EncodedBodySize(const PatchEntry& entry)
{
    switch (entry.Kind()) {
    case BodyKind::Attached:
        return 5 + (entry.streamed ? entry.streamed->extraSize : entry.data.size());
    case BodyKind::Predicted:
        return PREDICTED_HEADER_SIZE - 1 + PREDICTED_SECTION_SIZE * entry.prediction->sections.size() +
               DIFF_HEADER_SIZE + DIFF_CONTROL_SIZE * entry.difference->controls.size() +
               entry.difference->difference.size() + entry.difference->extra.size();
    case BodyKind::Difference:
        if (entry.streamed)
            return DIFF_HEADER_SIZE + DIFF_CONTROL_SIZE * entry.streamed->controls.size() +
                   entry.streamed->differenceSize + entry.streamed->extraSize;
        return DIFF_HEADER_SIZE + DIFF_CONTROL_SIZE * entry.difference->controls.size() +
               entry.difference->difference.size() + entry.difference->extra.size();
    case BodyKind::Removal:
        return 1;
    case BodyKind::Ops:
        break;
    }
    std::size_t size = 1;
    for (const Op& op : entry.ops)
        size += op.kind == OpKind::Copy ? 9 : 5 + op.literal.size();
    return size;
}

Bytes ApplyDiff(ByteView old, const DiffBody& body)
{
    const Bytes encoded = EncodeDiffBody(body);
    PatchCursor cursor{encoded.data(), encoded.data() + encoded.size()};
    PatchDiffBody view{};
    if (!ReadDiffBody(&cursor, &view))
        throw FormatError(DiffBodyProblem({encoded.data(), encoded.data() + encoded.size()}));
    const std::uint32_t oldSize = CheckedU32(old.size(), "old file");
    // The result is as long as the body's difference and extra bytes together; sized once, it
    // is never held twice while it grows.
    Bytes out;
    out.reserve(body.difference.size() + body.extra.size());
    if (!ApplyDiffBody(&view, old.data(), oldSize, AppendToBytes, &out, nullptr))
        throw FormatError("difference body reads or steps outside the " + std::to_string(old.size()) +
                          "-byte old file after " + std::to_string(out.size()) + " bytes of the result");
    return out;
}

Bytes ApplyPredicted(ByteView old, const DiffBody& body, const Prediction& prediction, ReferenceCounts* counts)
{
    Bytes encoded;
    encoded.reserve(PREDICTED_HEADER_SIZE - 1 + PREDICTED_SECTION_SIZE * prediction.sections.size() + DIFF_HEADER_SIZE +
                    DIFF_CONTROL_SIZE * body.controls.size() + body.difference.size() + body.extra.size());
    AppendDiffBody(encoded, body, &prediction);
    PatchCursor cursor{encoded.data(), encoded.data() + encoded.size()};
    PatchPredictedBody view{};
    if (!ReadPredictedBody(&cursor, &view))
        throw FormatError(PredictedBodyProblem({encoded.data(), encoded.data() + encoded.size()}));
    const std::uint32_t oldSize = CheckedU32(old.size(), "old file");
    Bytes out;
    out.reserve(body.difference.size() + body.extra.size());
    ReferenceCounts found{};
    int result = ApplyPredictedBody(&view, old.data(), oldSize, AppendToBytes, &out, found.data());
    if (result == PREDICT_NO_MEMORY)
        throw FormatError("no memory for the references of the " + std::to_string(old.size()) + "-byte old file");
    if (result != PREDICT_APPLIED)
        throw FormatError("predicted body reads or steps outside the " + std::to_string(old.size()) + "-byte old file");
    if (counts != nullptr)
        *counts = found;
    return out;
}

Bytes ApplyBody(const PatchEntry& entry, ByteView old)
{
    if (entry.difference && entry.prediction)
        return ApplyPredicted(old, *entry.difference, *entry.prediction);
    if (entry.difference)
        return ApplyDiff(old, *entry.difference);
    return ApplyOps(old, entry.ops);
}

Bytes ApplyEntry(const PatchEntry& entry, ByteView old)
{
    if (entry.attached)
        return entry.data;
    const std::string where = "entry " + entry.path;
    if (entry.removal)
        throw FormatError(where + ": a removal has no result");
    std::uint32_t oldCrc = Crc32(old);
    if (oldCrc != entry.sourceCrc)
        throw FormatError(where + ": source CRC is " + Hex32(oldCrc) + ", expected " + Hex32(entry.sourceCrc));
    Bytes result = ApplyBody(entry, old);
    std::uint32_t newCrc = Crc32(result);
    if (newCrc != entry.targetCrc)
        throw FormatError(where + ": result CRC is " + Hex32(newCrc) + ", expected " + Hex32(entry.targetCrc));
    return result;
}

} // namespace mendsmith::format
