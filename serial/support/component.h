// A minimal component model: an owner that frees what it owns, a name, state
// flags, the after-load notification, and insert/remove notifications. A
// "stored layout" is code that creates components with the loading flag set,
// assigns their stored properties, then calls Loaded on each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sio {

// The bits of ComponentState().
enum TComponentStateFlag : uint32_t {
  csLoading = 0x01,     // being made from a stored layout
  csDesigning = 0x02,   // in a designer
  csDestroying = 0x04,  // being destroyed
};

// What a Notification tells of: a component inserted into an owner, or
// removed (or destroyed).
enum class TOperation { opInsert, opRemove };

// A component: owned by another, which frees it, and the owner of others.
class TComponent {
 public:
  // Inserted into owner's list unless owner is null.
  explicit TComponent(TComponent* owner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  // The owner; null for none.
  TComponent* GetOwner() const { return owner_; }
  // The component's name.
  const std::string& GetName() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }

  // How many components it owns.
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  // An owned component by index, from 0 in the order they were inserted.
  TComponent* GetComponent(int index) const { return components_[static_cast<size_t>(index)]; }

  //@{
  // The state flags: all of them, and one by one.
  uint32_t ComponentState() const { return state_; }
  bool IsLoading() const { return (state_ & csLoading) != 0; }
  bool IsDesigning() const { return (state_ & csDesigning) != 0; }
  bool IsDestroying() const { return (state_ & csDestroying) != 0; }
  //@}

  // Stored-layout support: set before the stored properties are assigned.
  void SetLoading();
  // Sets or clears the designing flag here and in every owned component.
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
  // Withdraws a FreeNotification, which is kept in both directions.
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
  // Made as a TComponent.
  using TComponent::TComponent;
  // "v4.07"; a write changes nothing.
  std::string GetVersion() const;
  void SetVersion(const std::string& ignored);
};

}  // namespace sio
