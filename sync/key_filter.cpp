#include "sync/key_filter.h"

namespace kestova {

KeyFilter::KeyFilter(const TableDefinition& table) : table_(table) {
  for (const KeyPiece& piece : table.key) fields_.emplace_back(piece.sourceField);
}

std::string KeyFilter::text(Recordset& source) {
  std::string text;
  text.reserve(128);
  bool nullText = false;
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const KeyPiece& piece = table_.key[i];
    const FieldValue& value = fields_[i].read(source);
    nullText = nullText || (piece.form == KeyPiece::Form::TrimmedText && isNull(value));
    text += piece.literal;
    text += keyText(value, piece.form, piece.sourceField);
  }
  nullAsEmpty_.clear();
  if (nullText) {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      const KeyPiece& piece = table_.key[i];
      const FieldValue& value = fields_[i].read(source);
      nullAsEmpty_ += piece.literal;
      if (piece.form != KeyPiece::Form::TrimmedText || !isNull(value))
        nullAsEmpty_ += keyText(value, piece.form, piece.sourceField);
    }
  }
  return text;
}

}  // namespace kestova
