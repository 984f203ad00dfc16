#include "serial/support/component.h"

#include <algorithm>

namespace sio {

namespace {

void EraseOne(std::vector<TComponent*>& list, TComponent* item) {
  auto it = std::find(list.begin(), list.end(), item);
  if (it != list.end()) list.erase(it);
}

bool Contains(const std::vector<TComponent*>& list, const TComponent* item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

TComponent::TComponent(TComponent* owner) {
  if (owner != nullptr) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  SetDestroying();
  // Everyone who asked to hear of our end hears it now, while we still exist;
  // their Notification drops the link in both directions.
  while (!freeNotifies_.empty()) {
    TComponent* other = freeNotifies_.back();
    freeNotifies_.pop_back();
    EraseOne(other->freeNotifies_, this);
    other->Notification(this, TOperation::opRemove);
  }
  DestroyComponents();
  if (owner_ != nullptr) owner_->RemoveComponent(this);
}

void TComponent::SetLoading() {
  state_ |= csLoading;
}

void TComponent::SetDesigning(bool designing) {
  if (designing)
    state_ |= csDesigning;
  else
    state_ &= ~static_cast<uint32_t>(csDesigning);
  for (TComponent* c : components_)
    c->SetDesigning(designing);
}

void TComponent::SetDestroying() {
  if (IsDestroying()) return;
  state_ |= csDestroying;
  for (TComponent* c : components_)
    c->SetDestroying();
}

void TComponent::Loaded() {
  state_ &= ~static_cast<uint32_t>(csLoading);
}

void TComponent::Notification(TComponent* component, TOperation operation) {
  if (operation == TOperation::opRemove && component != nullptr) RemoveFreeNotification(component);
  // A handler may remove components while we walk the list; walk it from
  // the end and re-check the index each time.
  for (size_t i = components_.size(); i > 0; --i) {
    if (i - 1 >= components_.size()) continue;
    components_[i - 1]->Notification(component, operation);
  }
}

void TComponent::FreeNotification(TComponent* component) {
  if (component == nullptr || component == this) return;
  // Components of one owner already hear of each other through that owner.
  if (owner_ != nullptr && component->owner_ == owner_) return;
  if (!Contains(freeNotifies_, component)) freeNotifies_.push_back(component);
  if (!Contains(component->freeNotifies_, this)) component->freeNotifies_.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
  if (component == nullptr) return;
  EraseOne(freeNotifies_, component);
  EraseOne(component->freeNotifies_, this);
}

void TComponent::InsertComponent(TComponent* component) {
  if (component == nullptr || component == this || component->owner_ == this) return;
  // One owner at a time: an owned component must never be freed twice.
  if (component->owner_ != nullptr) component->owner_->RemoveComponent(component);
  components_.push_back(component);
  component->owner_ = this;
  if (IsDesigning()) component->SetDesigning(true);
  Notification(component, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  if (component == nullptr || component->owner_ != this) return;
  Notification(component, TOperation::opRemove);
  EraseOne(components_, component);
  component->owner_ = nullptr;
}

void TComponent::DestroyComponents() {
  while (!components_.empty()) {
    TComponent* c = components_.back();
    // Taken off the list before it is freed, so its destructor's removal
    // finds nothing to do and our list never holds a freed pointer.
    components_.pop_back();
    c->owner_ = nullptr;
    Notification(c, TOperation::opRemove);
    delete c;
  }
}

namespace {
constexpr const char* kVersion = "v4.07";
}

std::string TSioBaseComponent::GetVersion() const {
  return kVersion;
}

void TSioBaseComponent::SetVersion(const std::string& /*ignored*/) {}

}  // namespace sio
