// The class table: the catalogue class of every object type, indexed by
// TNomObjectType.
#include <iterator>

#include "nomsync/article/article.h"
#include "nomsync/article_group.h"
#include "nomsync/measure_name.h"
#include "nomsync/nomenclature_object.h"
#include "nomsync/producer.h"
#include "nomsync/sql_data_pack.h"
#include "nomsync/supplier.h"

extern const TNomObjectClass kNomObjectClassTable[];

const TNomObjectClass kNomObjectClassTable[] = {
    NomObjectClassOf<TArticle>("TArticle"),            // notArticle
    NomObjectClassOf<TArticleGroup>("TArticleGroup"),  // notArticleGroup
    NomObjectClassOf<TSupplier>("TSupplier"),          // notSupplier
    NomObjectClassOf<TProducer>("TProducer"),          // notProducer
    NomObjectClassOf<TMeasureName>("TMeasureName"),    // notMeasureName
    NomObjectClassOf<TSQLDataPack>("TSQLDataPack"),    // notSQLDataPack
};
static_assert(std::size(kNomObjectClassTable) == 6, "one entry per TNomObjectType");
