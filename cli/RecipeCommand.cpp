// recipe check FILE: a recipe, the files it names and its identity.
#include <chrono>
#include <optional>

#include "cli/Commands.h"
#include "platform/Utf8.h"
#include "production/Recipe.h"
#include "store/Record.h"

namespace qmb::cli {

using nlohmann::json;

production::LoadedRecipe LoadRecipeOrThrow(const std::string& path) {
    try {
        return production::LoadRecipe(path);
    } catch (const production::RecipeError& e) {
        throw CliError(e.Unreadable() ? kExitFile : kExitData, e.what());
    }
}

namespace {
struct RecipeOptions {
    std::string file, db = DefaultDbUrl(), by, product;
    int64_t quota = 0;
};

// The database itself (never a spool: a release is the server's word).
std::unique_ptr<store::RecordStore> OpenReleases(const std::string& url) {
    std::unique_ptr<store::RecordStore> s;
    try {
        s = store::OpenRecordStore(url);
    } catch (const store::StoreError& e) {
        ThrowStoreError(e);
    }
    if (!s) throw CliError(kExitUsage, "releases are kept in a record database: give --db URL");
    return s;
}

std::string WhoReleases(const std::string& by) {
    if (!by.empty()) return by;
    for (const char* name : {"QMB_USER", "USER", "USERNAME"}) {
        const std::string value = EnvironmentValue(name);
        if (!value.empty()) return value;
    }
    return "unknown";
}

json ReleaseJson(const store::Release& r) {
    return {{"identity", r.identity},
            {"product", r.product},
            {"by", r.by},
            {"at", r.at},
            {"quota", r.quota ? json(*r.quota) : json(nullptr)},
            {"revoked_at", r.revoked_at ? json(*r.revoked_at) : json(nullptr)},
            {"revoked_by", r.revoked_by}};
}

int RunRecipeRelease(Context& c, const RecipeOptions& o) {
    const production::LoadedRecipe loaded = LoadRecipeOrThrow(o.file);
    store::Release r;
    r.identity = loaded.identity;
    r.product = loaded.recipe.product;
    r.by = WhoReleases(o.by);
    r.at = store::FormatUtcMillis(std::chrono::system_clock::now());
    if (o.quota > 0) r.quota = o.quota;
    const std::string why = store::CheckRelease(r);
    if (!why.empty()) throw CliError(kExitUsage, "release: " + why);
    const auto s = OpenReleases(o.db);
    try {
        s->ReleaseRecipe(r);
    } catch (const store::StoreError& e) {
        ThrowStoreError(e);
    }
    c.out->Result()["release"] = ReleaseJson(r);
    c.out->Data("released " + r.identity + " for " + r.product + " by " + r.by +
                (r.quota ? ", quota " + std::to_string(*r.quota) + " boards" : "") + "\n");
    return kExitOk;
}

int RunRecipeRevoke(Context& c, const RecipeOptions& o) {
    // A recipe file, or the identity itself (the file may be gone).
    std::string identity = o.file;
    const bool isIdentity = identity.size() == 64 &&
                            identity.find_first_not_of("0123456789abcdef") == std::string::npos;
    if (!isIdentity) identity = LoadRecipeOrThrow(o.file).identity;
    const auto s = OpenReleases(o.db);
    bool revoked = false;
    try {
        revoked = s->RevokeRecipe(identity, WhoReleases(o.by));
    } catch (const store::StoreError& e) {
        ThrowStoreError(e);
    }
    if (!revoked) throw CliError(kExitUsage, "recipe " + identity + " is not released");
    c.out->Result()["identity"] = identity;
    c.out->Data("revoked " + identity + "\n");
    return kExitOk;
}

int RunRecipeList(Context& c, const RecipeOptions& o) {
    const auto s = OpenReleases(o.db);
    std::vector<store::Release> releases;
    try {
        releases = s->Releases(o.product.empty() ? std::nullopt : std::optional<std::string>(o.product));
    } catch (const store::StoreError& e) {
        ThrowStoreError(e);
    }
    json list = json::array();
    std::string text;
    for (const auto& r : releases) {
        list.push_back(ReleaseJson(r));
        text += r.identity + "  " + r.product + "  released " + r.at + " by " + r.by +
                (r.quota ? ", quota " + std::to_string(*r.quota) : "") +
                (r.revoked_at ? ", revoked " + *r.revoked_at + " by " + r.revoked_by : "") + "\n";
    }
    c.out->Result()["releases"] = list;
    c.out->Data(text);
    return kExitOk;
}

int RunRecipeCheck(Context& c, const RecipeOptions& o) {
    const production::LoadedRecipe loaded = LoadRecipeOrThrow(o.file);
    const production::Recipe& r = loaded.recipe;
    std::vector<int> numbers;
    for (const auto& s : loaded.image)
        numbers.push_back(s.number);
    json fields = json::array();
    std::string text = "product: " + r.product + "\n";
    text += "image: " + (r.image.empty() ? r.data : r.image) + ", sections " +
            FormatSectionList(numbers) + " (" + std::to_string(loaded.imageLength) + " bytes)\n";
    for (const auto& f : r.serials) {
        fields.push_back({{"pool", f.pool},
                          {"section", f.section},
                          {"offset", f.offset},
                          {"layout", f.format.Name()}});
        text += "serial: " + f.Describe() + "\n";
    }
    if (!r.serials.empty())
        text += std::string("keep-existing: ") + (r.keepExisting ? "yes" : "no") +
                ", lease: " + std::to_string(r.lease) + "\n";
    text += "identity: " + loaded.identity + "\n";
    auto& result = c.out->Result();
    result["product"] = r.product;
    result["sections"] = numbers;
    result["image_length"] = loaded.imageLength;
    result["serials"] = fields;
    result["keep_existing"] = r.keepExisting;
    result["lease"] = r.lease;
    result["identity"] = loaded.identity;
    c.out->Data(text);
    return kExitOk;
}
}  // namespace

void AddRecipeCommand(CLI::App& app, Context& c) {
    auto* recipe = app.add_subcommand(
        "recipe", "a recipe: what each board of a product gets (image, serial fields), and "
                  "which recipes a production line may run");
    recipe->require_subcommand(1);
    auto o = std::make_shared<RecipeOptions>();
    auto* check = recipe->add_subcommand(
        "check", "check a recipe and the files it names (sizes, fields inside their sections, "
                 "no overlap) and print its identity: one SHA-256 over all of them");
    check->add_option("FILE", o->file, "the recipe")->required();
    WhenChosen(check, c, o, RunRecipeCheck);

    auto addDb = [&](CLI::App* command) {
        command->add_option("--db", o->db, "the record database: sqlite:PATH or postgresql://...")
            ->type_name("URL")
            ->capture_default_str();
    };
    auto* release = recipe->add_subcommand(
        "release", "release a recipe for production: store its identity, who and when (and a "
                   "quota of passed boards across every station)");
    release->add_option("FILE", o->file, "the recipe")->required();
    addDb(release);
    release->add_option("--quota", o->quota, "passed boards it may make, over every station")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    release->add_option("--by", o->by, "who releases it (default: the login name)");
    WhenChosen(release, c, o, RunRecipeRelease);

    auto* revoke = recipe->add_subcommand("revoke", "revoke a release: the lines refuse it from "
                                                    "their next start");
    revoke->add_option("FILE", o->file, "the recipe, or its identity")->required();
    addDb(revoke);
    revoke->add_option("--by", o->by, "who revokes it (default: the login name)");
    WhenChosen(revoke, c, o, RunRecipeRevoke);

    auto* list = recipe->add_subcommand("list", "list the releases, newest first (revoked ones too)");
    addDb(list);
    list->add_option("--product", o->product, "only this product's");
    WhenChosen(list, c, o, RunRecipeList);
}

}  // namespace qmb::cli
