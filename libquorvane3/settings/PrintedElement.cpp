#include "settings/PrintedElement.h"

#include <cstdlib>

namespace quorvane {

namespace {

// Where PrintPieces collects on this thread: the stream it prints to and the text printed
// since the last shared piece.
struct Collector {
    FILE* file = nullptr;
    std::string loose;
    PrintedElement::Pieces* pieces = nullptr;

    void Cut() {
        if (!loose.empty()) pieces->push_back(std::make_shared<const std::string>(std::move(loose)));
        loose.clear();
    }
};

thread_local Collector* collecting = nullptr;

ssize_t CollectBytes(void* cookie, const char* data, size_t size) {
    static_cast<Collector*>(cookie)->loose.append(data, size);
    return static_cast<ssize_t>(size);
}

}  // namespace

const std::shared_ptr<const std::string>& PrintedElement::Text(int depth) const {
    if (text_ && depth_ == depth) return text_;
    char* buffer = nullptr;
    size_t size = 0;
    std::string text = "\n";
    if (FILE* stream = open_memstream(&buffer, &size)) {
        TiXmlElement::Print(stream, depth);
        if (fclose(stream) == 0) text.append(buffer, size);
        free(buffer);
    }
    text_ = std::make_shared<const std::string>(std::move(text));
    depth_ = depth;
    return text_;
}

void PrintedElement::Print(FILE* file, int depth) const {
    const std::string& text = *Text(depth);
    Collector* const collector = collecting;
    if (!collector || collector->file != file) {
        fwrite(text.data() + 1, 1, text.size() - 1, file);  // the parent printed the line break
        return;
    }
    fflush(file);
    if (!collector->loose.empty() && collector->loose.back() == '\n') collector->loose.pop_back();
    collector->Cut();
    collector->pieces->push_back(text_);
}

bool PrintedElement::PrintPieces(const TiXmlDocument& document, Pieces& pieces) {
    Collector collector;
    collector.pieces = &pieces;
    cookie_io_functions_t functions = {nullptr, &CollectBytes, nullptr, nullptr};
    collector.file = fopencookie(&collector, "w", functions);
    if (!collector.file) return false;
    Collector* const outer = collecting;
    collecting = &collector;
    const bool printed = document.SaveFile(collector.file);
    collecting = outer;
    const bool closed = fclose(collector.file) == 0;
    collector.Cut();
    return printed && closed;
}

}  // namespace quorvane
