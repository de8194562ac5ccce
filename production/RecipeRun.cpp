#include "production/RecipeRun.h"

#include "store/StoreError.h"

namespace qmb::production {

namespace {
using Kind = RecipeFault::Kind;

// Production mode: the release, asked of the database itself (not its
// spool), and the release's quota.
void CheckRelease(RecipeRun& run, const LoadedRecipe& recipe, const std::string& db,
                  const std::function<void(const std::string&)>& say) {
    std::string why;
    try {
        run.direct = store::OpenRecordStore(db);
        if (!run.direct)
            throw RecipeFault(Kind::kUsage, "production mode checks the recipe's release in the "
                                            "record database: give --db, or --mode engineering");
        run.release = FindRelease(*run.direct, recipe.recipe.product, recipe.identity, why);
    } catch (const store::StoreError& e) {
        throw RecipeFault(Kind::kStore, "production mode cannot check the recipe's release: " +
                                            std::string(e.what()));
    }
    if (!run.release) throw RecipeFault(Kind::kNotReleased, why);
    if (run.release->quota)
        run.quota = std::make_unique<QuotaGate>(*run.direct, recipe.identity, *run.release->quota);
    say("recipe " + recipe.identity.substr(0, 12) + "... released for " + recipe.recipe.product +
        " by " + run.release->by + " at " + run.release->at);
}

// The serial source, every pool there and not empty, and what was settled
// of the station's earlier run.
void OpenSerials(RecipeRun& run, const LoadedRecipe& recipe, store::RecordStore& records,
                 const RecordContext& context, const std::function<void(const std::string&)>& say) {
    try {
        run.serials = MakeSerialSource(records, context.station, store::NewRecordId(),
                                       recipe.recipe.lease);
    } catch (const store::StoreError& e) {
        throw RecipeFault(e.kind() == store::StoreError::Kind::kInvalid ? Kind::kUsage : Kind::kStore,
                          std::string("records: ") + e.what());
    }
    for (const auto& f : recipe.recipe.serials) {
        try {
            const store::PoolLevel level = run.serials->Level(f.pool);
            if (level.free <= 0)
                throw RecipeFault(Kind::kNoSerial, "pool " + f.pool + " is empty: no serial number left");
        } catch (const SerialUnavailable&) {
            // An outage: the lease, if any, decides at the first board.
        } catch (const store::StoreError& e) {
            throw RecipeFault(Kind::kNoSerial, "serial field " + f.Describe() + ": " + e.what());
        }
    }
    const store::SettleCounts settled = run.serials->Settled();
    if (settled.freed || settled.voided)
        say("serial numbers of an earlier run of " + context.station + ": " +
            std::to_string(settled.freed) + " back to their pools, " +
            std::to_string(settled.voided) + " void (they may be on a board)");
}
}  // namespace

RecipeRun::~RecipeRun() {
    if (serials) serials->Close();
}

void PrepareRecipeRun(RecipeRun& run, const LoadedRecipe& recipe, const std::string& db,
                      store::RecordStore* records, const RecordContext& context,
                      const std::function<void(const std::string&)>& say) {
    const bool production = context.mode == "production";
    if (!records && (production || !recipe.recipe.serials.empty()))
        throw RecipeFault(Kind::kUsage, production ? "production mode checks the recipe's release in "
                                                     "the record database: give --db, or --mode "
                                                     "engineering"
                                                   : "the recipe's serial fields need a record "
                                                     "database: give --db");
    if (production) {
        CheckRelease(run, recipe, db, say);
    } else {
        say("engineering mode: recipe " + recipe.identity.substr(0, 12) +
            "... runs whether released or not, and every record says so");
    }
    if (!recipe.recipe.serials.empty()) OpenSerials(run, recipe, *records, context, say);
}

}  // namespace qmb::production
