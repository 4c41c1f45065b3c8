// Prints the installer's product facts as JSON (UTF-8) for the scripts that need them: disc
// labels, folders, sizes, message texts and captions, the shortcut table and the dialogs'
// titles and control texts. They come from the product's own constants and resources, so no
// script restates them.
//
//     product_facts > product-facts.json
//
// Compiled like the product (-fexec-charset=CP950), so the texts are the installer's Big5
// bytes, converted here; only ASCII literals of its own.
#include <iconv.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/install_state.h"
#include "base/product_constants.h"
#include "dialog_template.h"

namespace {

std::string Utf8FromCp950(const std::string& text) {
    iconv_t converter = iconv_open("UTF-8", "CP950");
    if (converter == (iconv_t)-1) {
        std::perror("product_facts: iconv_open");
        std::exit(1);
    }
    std::string in = text;
    std::string out(text.size() * 4 + 4, '\0');
    char* from = in.data();
    char* to = out.data();
    std::size_t fromLeft = in.size();
    std::size_t toLeft = out.size();
    if (iconv(converter, &from, &fromLeft, &to, &toLeft) == (std::size_t)-1) {
        std::fprintf(stderr, "product_facts: a text is not code page 950\n");
        std::exit(1);
    }
    iconv_close(converter);
    out.resize(out.size() - toLeft);
    return out;
}

std::string Json(const std::string& utf8) {
    std::string json = "\"";
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            json += '\\';
            json += (char)c;
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            json += escaped;
        } else {
            json += (char)c;
        }
    }
    return json + "\"";
}

std::string Text(const char* cp950) {
    return Json(Utf8FromCp950(cp950));
}

struct Named {
    const char* name;
    const char* value;
};

std::string DialogJson(const char* name) {
    std::optional<winsim::DialogTemplate> dialog = winsim::FindDialogTemplate(name);
    if (!dialog) {
        std::fprintf(stderr, "product_facts: no dialog %s in the resources\n", name);
        std::exit(1);
    }
    std::string json = "{\"title\": " + Text(dialog->title.c_str()) + ", \"controls\": {";
    const char* separator = "";
    for (const winsim::DialogItem& item : dialog->items) {
        if (item.id == 0xFFFF || item.id == -1)
            continue; // a label nobody addresses
        json += separator + Json(std::to_string(item.id)) + ": " + Text(item.text.c_str());
        separator = ", ";
    }
    return json + "}}";
}

} // namespace

int main() {
    const Named texts[] = {
        {"OwnerClassName", OwnerClassName},
        {"InstallerTitle", InstallerTitle},
        {"ProductTitle", ProductTitle},
        {"CompanyFolder", CompanyFolder},
        {"DefaultInstallRoot", DefaultInstallRoot},
        {"ProductFolder", ProductFolder},
        {"DiscLabel1", DiscLabel1},
        {"DiscLabel2", DiscLabel2},
        {"MapDiscLabel", MapDiscLabel},
        {"GameExeSuffix", GameExeSuffix},
        {"MinimalRunFlag", MinimalRunFlag},
        {"NormalRunFlag", NormalRunFlag},
        {"DirectXSetup", DirectXSetup},
        {"SetupNamePrefix", SetupNamePrefix},
        {"JournalSuffix", JournalSuffix},
        {"SetupEntryKey", SetupEntryKey},
        {"SetupMutexGlobalName", SetupMutexGlobalName},
        {"SetupMutexName", SetupMutexName},
        {"KeptPrefix", KeptPrefix},
        {"KeptSuffix", KeptSuffix},
        {"TextConfirmInstall", TextConfirmInstall},
        {"CaptionInstall", CaptionInstall},
        {"TextNoSpace", TextNoSpace},
        {"CaptionWarning", CaptionWarning},
        {"TextInsertDisc1", TextInsertDisc1},
        {"CaptionNotice", CaptionNotice},
        {"TextInsertDisc2", TextInsertDisc2},
        {"TextInsertMapDisc", TextInsertMapDisc},
        {"TextInstallFailed", TextInstallFailed},
        {"CaptionMessage", CaptionMessage},
        {"TextOfferDirectX", TextOfferDirectX},
        {"TextInstallDone", TextInstallDone},
        {"TextNoUninstaller", TextNoUninstaller},
        {"CaptionAttention", CaptionAttention},
        {"TextRegistryFault", TextRegistryFault},
        {"CaptionError", CaptionError},
        {"TextPathTooLong", TextPathTooLong},
        {"TextPathInvalid", TextPathInvalid},
        {"TextRecoveryBlocked", TextRecoveryBlocked},
        {"TextJournalRefused", TextJournalRefused},
        {"TextOwnFolderRefused", TextOwnFolderRefused},
        {"BusyBaseText", BusyBaseText},
    };
    std::string json = "{\n";
    for (const Named& text : texts)
        json += "  " + Json(text.name) + ": " + Text(text.value) + ",\n";
    json += "  \"MinimalMegabytes\": " + std::to_string(MinimalMegabytes) + ",\n";
    json += "  \"NormalMegabytes\": " + std::to_string(NormalMegabytes) + ",\n";
    json += "  \"MAX_PATH\": " + std::to_string(MAX_PATH) + ",\n";
    json += "  \"INSTALL_DIR_MAX_LENGTH\": " + std::to_string(INSTALL_DIR_MAX_LENGTH) + ",\n";
    json += "  \"Shortcuts\": [";
    for (int row = 0; row < SHORTCUT_ROWS; row++) {
        json += std::string(row ? ", " : "") + "{\"target\": " + Text(ShortcutTargets[row]) +
                ", \"link\": " + Text(ShortcutLinkNames[row]) +
                ", \"description\": " + Text(ShortcutDescriptions[row]) + "}";
    }
    json += "],\n";
    json += "  \"IDD_SETUP\": " + DialogJson("IDD_SETUP") + ",\n";
    json += "  \"IDD_INSTALL\": " + DialogJson("IDD_INSTALL") + "\n}\n";
    std::fputs(json.c_str(), stdout);
    return std::ferror(stdout) ? 1 : 0;
}
