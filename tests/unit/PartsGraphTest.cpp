// The graph of the server's parts in docs/architecture.md is the one their headers make:
// each row names exactly the parts the part's constructor takes (for UserLinks and
// CommandParts, the parts they hold), every part named has a row above the row that names
// it, so the graph has no cycle, and no part but the node includes ServerNode.h.
#include <dirent.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const std::string SOURCE = QUORVANE_SOURCE_DIR;
const std::string SERVER = SOURCE + "/libquorvane3/server/";

std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> ServerFiles() {
    std::vector<std::string> names;
    if (DIR* dir = opendir(SERVER.c_str())) {
        while (const dirent* entry = readdir(dir)) names.push_back(entry->d_name);
        closedir(dir);
    }
    return names;
}

bool IsWordChar(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The parts among the words of the text: the classes of the server's headers.
std::set<std::string> Named(const std::string& text, const std::set<std::string>& parts) {
    std::set<std::string> named;
    for (size_t i = 0; i < text.size();) {
        size_t end = i;
        while (end < text.size() && IsWordChar(text[end])) ++end;
        if (end == i) {
            ++i;
            continue;
        }
        if (parts.count(text.substr(i, end - i)) != 0) named.insert(text.substr(i, end - i));
        i = end;
    }
    return named;
}

// What the part gets: the parts its constructors take, or a struct's members.
std::set<std::string> Gets(const std::string& part, const std::set<std::string>& parts) {
    std::string text;
    std::istringstream lines(Read(SERVER + part + ".h"));
    for (std::string line; std::getline(lines, line);) text += line.substr(0, line.find("//")) + "\n";
    const size_t body = text.find("struct " + part + " {");
    if (body != std::string::npos) return Named(text.substr(body + part.size(), text.find("};", body) - body), parts);
    std::set<std::string> gets;
    std::istringstream code(text);
    for (std::string line; std::getline(code, line);) {
        const size_t at = line.find_first_not_of(" ");
        if (at == std::string::npos) continue;
        std::string start = line.substr(at);
        if (start.compare(0, 9, "explicit ") == 0) start = start.substr(9);
        if (start.compare(0, part.size() + 1, part + "(") != 0) continue;
        // The parameters, to their closing parenthesis, over as many lines as they take.
        std::string parameters = text.substr(text.find(start) + part.size());
        int depth = 0;
        size_t end = 0;
        for (; end < parameters.size(); ++end) {
            depth += parameters[end] == '(' ? 1 : parameters[end] == ')' ? -1 : 0;
            if (depth == 0) break;
        }
        for (const std::string& name : Named(parameters.substr(0, end), parts))
            if (name != part) gets.insert(name);
    }
    return gets;
}

TEST(PartsGraphTest, TheDocumentedGraphIsTheConstructorsAndHasNoCycle) {
    std::set<std::string> parts;
    for (const std::string& file : ServerFiles())
        if (file.size() > 2 && file.compare(file.size() - 2, 2, ".h") == 0 && file != "ServerNode.h")
            parts.insert(file.substr(0, file.size() - 2));

    // The rows of the table: "| `Part` | `Other`, `Another` | notes |", in order.
    const std::string doc = Read(SOURCE + "/docs/architecture.md");
    const size_t section = doc.find("### The parts' graph");
    ASSERT_NE(section, std::string::npos);
    std::istringstream rows(doc.substr(section, doc.find("\n#", section + 1) - section));
    std::map<std::string, std::set<std::string>> documented;
    std::set<std::string> above;
    for (std::string row; std::getline(rows, row);) {
        if (row.compare(0, 3, "| `") != 0) continue;
        const std::string part = row.substr(3, row.find('`', 3) - 3);
        const size_t cell = row.find('|', 2);
        const std::string gets = row.substr(cell, row.find('|', cell + 1) - cell);
        EXPECT_EQ(documented.count(part), 0u) << part << " has two rows";
        documented[part] = Named(gets, parts);
        for (const std::string& name : documented[part])
            EXPECT_EQ(above.count(name), 1u) << part << " gets " << name << ", which has no row above it";
        above.insert(part);
    }

    // Every part that gets any part has its row, and each row says what its header says.
    for (const std::string& part : parts) {
        const std::set<std::string> gets = Gets(part, parts);
        if (gets.empty() && documented.count(part) == 0) continue;
        std::string expected;
        for (const std::string& name : gets) expected += (expected.empty() ? "`" : ", `") + name + "`";
        EXPECT_EQ(documented[part], gets) << "the row should be: | `" << part << "` | " << expected << " |";
    }

    for (const std::string& file : ServerFiles()) {
        if (file.compare(0, 11, "ServerNode.") == 0) continue;
        EXPECT_EQ(Read(SERVER + file).find("\"server/ServerNode.h\""), std::string::npos) << file;
    }
}

}  // namespace
