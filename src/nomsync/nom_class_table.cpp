// The class table: the catalogue class of every object type, indexed by
// TNomObjectType. A class this server does not carry yet has no factory;
// proposals and requests of its type are answered with an error.
//
// A new catalogue class enters by including its header here and replacing
// its entry with NomObjectClassOf<TClass>("TClass").
#include "nomsync/article_group.h"
#include "nomsync/measure_name.h"
#include "nomsync/nomenclature_object.h"
#include "nomsync/producer.h"
#include "nomsync/sql_data_pack.h"
#include "nomsync/supplier.h"

extern const TNomObjectClass kNomObjectClassTable[6];

const TNomObjectClass kNomObjectClassTable[6] = {
    NomObjectClassNotAvailable("TArticle"),        // notArticle
    NomObjectClassOf<TArticleGroup>("TArticleGroup"),  // notArticleGroup
    NomObjectClassOf<TSupplier>("TSupplier"),      // notSupplier
    NomObjectClassOf<TProducer>("TProducer"),      // notProducer
    NomObjectClassOf<TMeasureName>("TMeasureName"),  // notMeasureName
    NomObjectClassOf<TSQLDataPack>("TSQLDataPack"),  // notSQLDataPack
};
