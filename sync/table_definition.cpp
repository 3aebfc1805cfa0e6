#include "sync/table_definition.h"

namespace kestova {

namespace {

using Form = KeyPiece::Form;
using Guard = FieldCopy::Guard;

}  // namespace

const TableDefinition& marcasYModelos() {
  static const TableDefinition table{
      "Marcas y modelos",
      "rsC_MarMod_Actualizacion",
      "rsC_Marmod_Nevaro",
      {{"CodMar = ", "CodMar"}, {" and Codmod = ", "CodMod"}},
      {
          {"CodMar", "CodMar"},
          {"CodMod", "CodMod"},
          {"Nombre", "Nombre"},
          {"Tipo", "Tipo"},
          {"SubTipo", "SubTipo"},
          {"Categoria", "Categoria"},
          {"SubCat", "SubCate", Guard::SkipNullOrEmpty},
          {"Peso", "Peso"},
      },
  };
  return table;
}

const TableDefinition& valuaciones1() {
  static const TableDefinition table{
      "Valuaciones 1",
      "rsC_ValVehi1_Actualizacion",
      "rsC_ValVehi1_Nevaro",
      {
          {"AnioImpuesto = ", "Anioimp"},
          {" and Tipo = ", "Tipo"},
          {" and Categoria = ", "Categoria"},
          {" and Subcat = '", "SubCate", Form::TrimmedText},
          {"' and ModAnio = ", "Modanio"},
      },
      {
          {"Anioimpuesto", "Anioimp"},
          {"Tipo", "Tipo"},
          {"SubTipo", "SubTipo"},
          {"Categoria", "Categoria"},
          {"SubCat", "SubCate", Guard::ZeroWhenNull},
          {"Modanio", "Modanio"},
          {"Importe", "Importe"},
      },
  };
  return table;
}

const TableDefinition& valuaciones2() {
  static const TableDefinition table{
      "Valuaciones 2",
      "rsC_ValVehi2_Actualizacion",
      "rsC_ValVehi2_Nevaro",
      {
          {"AnioImpuesto = ", "Anioimp"},
          {" and Tipo = ", "Tipo"},
          {" and CodMar = ", "CodMar"},
          {" and CodMod = ", "CodMod"},
          {" and ModAnio = ", "Modanio"},
      },
      {
          {"Anioimpuesto", "Anioimp"},
          {"Tipo", "Tipo"},
          {"CodMar", "CodMar"},
          {"CodMod", "CodMod"},
          {"Modanio", "Modanio"},
          {"Importe", "Importe"},
          {"Alicuota", "Alicuota"},
          {"DispTipo", "DispTipo"},
          {"DispNro", "DispNro"},
          {"DispAnio", "DispAnio"},
      },
  };
  return table;
}

const std::array<const TableDefinition*, 3>& runTables() {
  static const std::array<const TableDefinition*, 3> tables{&marcasYModelos(), &valuaciones1(),
                                                            &valuaciones2()};
  return tables;
}

}  // namespace kestova
