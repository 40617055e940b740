#include "CldbIdentity.h"

std::string CldbIdentity::FolderName() const {
  return auxCopy ? cldb::AuxCldbFolderName(copy) : cldb::ClientCldbFolderName(app, copy);
}

std::string CldbIdentity::Describe() const {
  if (auxCopy) return "auxiliary copy " + std::to_string(copy);
  return "client " + std::to_string(app) + " copy " + std::to_string(copy);
}
