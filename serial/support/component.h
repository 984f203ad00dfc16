// A minimal component model: an owner that frees what it owns, a name, state
// flags, the after-load notification, and insert/remove notifications. A
// "stored layout" is code that creates components with the loading flag set,
// assigns their stored properties, then calls Loaded on each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sio {

enum TComponentStateFlag : uint32_t {
  csLoading = 0x01,
  csDesigning = 0x02,
  csDestroying = 0x04,
};

enum class TOperation { opInsert, opRemove };

class TComponent {
 public:
  explicit TComponent(TComponent* owner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* GetOwner() const { return owner_; }
  const std::string& GetName() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }

  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* GetComponent(int index) const { return components_[static_cast<size_t>(index)]; }

  uint32_t ComponentState() const { return state_; }
  bool IsLoading() const { return (state_ & csLoading) != 0; }
  bool IsDesigning() const { return (state_ & csDesigning) != 0; }
  bool IsDestroying() const { return (state_ & csDestroying) != 0; }

  // Stored-layout support: set before the stored properties are assigned.
  void SetLoading();
  void SetDesigning(bool designing);
  // The after-load notification: clears the loading flag. Overrides call the
  // base first, then act on their stored properties.
  virtual void Loaded();

  // Called on every component of the owner, and on components that asked
  // with FreeNotification, when a component is inserted into or removed from
  // an owner (or destroyed).
  virtual void Notification(TComponent* component, TOperation operation);
  // Asks to hear (opRemove) when component is destroyed, though it is not ours.
  void FreeNotification(TComponent* component);
  void RemoveFreeNotification(TComponent* component);

  // Takes component into this owner's list (taking it from a previous owner
  // first) and tells every owned component.
  void InsertComponent(TComponent* component);
  // Tells every owned component, then lets component go without freeing it.
  void RemoveComponent(TComponent* component);
  // Frees every owned component, last inserted first. The destructor does this
  // too; a derived destructor may call it first so that the notifications
  // still reach its own Notification override.
  void DestroyComponents();

 protected:
  // Marks this component and everything it owns as being destroyed.
  void SetDestroying();

 private:
  TComponent* owner_ = nullptr;
  std::string name_;
  uint32_t state_ = 0;
  std::vector<TComponent*> components_;
  std::vector<TComponent*> freeNotifies_;
};

// The base of the serial components. Its only property, Version, always
// reads "v4.07"; writes are accepted and ignored; it is never stored.
class TSioBaseComponent : public TComponent {
 public:
  using TComponent::TComponent;
  std::string GetVersion() const;
  void SetVersion(const std::string& ignored);
};

}  // namespace sio
