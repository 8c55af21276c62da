// The class table: the catalogue class of every object type, indexed by
// TNomObjectType. A class this server does not carry yet has no factory;
// proposals and requests of its type are answered with an error.
//
// A new catalogue class enters by including its header here and replacing
// its entry with NomObjectClassOf<TClass>("TClass").
#include "nomsync/article/article.h"
#include "nomsync/nomenclature_object.h"
#include "nomsync/producer.h"
#include "nomsync/sql_data_pack.h"

extern const TNomObjectClass kNomObjectClassTable[6];

const TNomObjectClass kNomObjectClassTable[6] = {
    NomObjectClassOf<TArticle>("TArticle"),        // notArticle
    NomObjectClassNotAvailable("TArticleGroup"),   // notArticleGroup
    NomObjectClassNotAvailable("TSupplier"),       // notSupplier
    NomObjectClassOf<TProducer>("TProducer"),      // notProducer
    NomObjectClassNotAvailable("TMeasureName"),    // notMeasureName
    NomObjectClassOf<TSQLDataPack>("TSQLDataPack"),  // notSQLDataPack
};
