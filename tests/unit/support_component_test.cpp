// The component model: ownership, notifications, state flags and Version.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "serial/support/component.h"

namespace {

using sio::TComponent;
using sio::TOperation;

// A journal shared by the components of one test: who heard what.
struct Journal {
  std::vector<std::string> lines;
};

class TLogged : public TComponent {
 public:
  TLogged(TComponent* owner, const std::string& name, Journal& journal)
      : TComponent(owner), journal_(journal) {
    SetName(name);
  }
  ~TLogged() override {
    journal_.lines.push_back("free " + GetName() + (IsDestroying() ? " destroying" : ""));
  }

  void Notification(TComponent* component, TOperation operation) override {
    TComponent::Notification(component, operation);
    journal_.lines.push_back(GetName() + (operation == TOperation::opInsert ? " +" : " -") +
                             component->GetName());
  }

 private:
  Journal& journal_;
};

// A component with a stored property that acts on it after loading.
class TStored : public sio::TSioBaseComponent {
 public:
  using TSioBaseComponent::TSioBaseComponent;
  void SetCount(int count) {
    count_ = count;
    if (!IsLoading()) ++applied_;
  }
  void Loaded() override {
    TSioBaseComponent::Loaded();
    ++applied_;  // the stored value is acted on once, now
  }
  int Applied() const { return applied_; }

 private:
  int count_ = 0;
  int applied_ = 0;
};

bool Contains(const Journal& j, const std::string& line) {
  for (const auto& l : j.lines)
    if (l == line) return true;
  return false;
}

TEST(ComponentVersion, AlwaysReadsV407) {
  sio::TSioBaseComponent base;
  EXPECT_EQ(base.GetVersion(), "v4.07");
  base.SetVersion("x");
  EXPECT_EQ(base.GetVersion(), "v4.07");
  TStored derived(&base);
  derived.SetVersion("");
  EXPECT_EQ(derived.GetVersion(), "v4.07");
}

TEST(ComponentOwnership, OwnerFreesWhatItOwnsLastInsertedFirst) {
  Journal j;
  auto* owner = new TLogged(nullptr, "form", j);
  new TLogged(owner, "a", j);
  new TLogged(owner, "b", j);
  ASSERT_EQ(owner->ComponentCount(), 2);
  EXPECT_EQ(owner->GetComponent(0)->GetName(), "a");
  EXPECT_EQ(owner->GetComponent(1)->GetOwner(), owner);
  j.lines.clear();
  delete owner;
  std::vector<std::string> frees;
  for (const auto& l : j.lines)
    if (l.rfind("free", 0) == 0) frees.push_back(l);
  // The form's own destructor body runs first; then its components go, last
  // inserted first, each knowing that it is being destroyed.
  EXPECT_EQ(frees,
            (std::vector<std::string>{"free form", "free b destroying", "free a destroying"}));
  // The one still alive hears that its sibling went.
  EXPECT_TRUE(Contains(j, "a -b"));
}

TEST(ComponentOwnership, InsertIsAnnouncedToTheOwnerAndEveryOwnedComponent) {
  Journal j;
  TLogged owner(nullptr, "form", j);
  new TLogged(&owner, "a", j);
  j.lines.clear();
  auto* b = new TLogged(nullptr, "b", j);
  b->SetName("b");
  owner.InsertComponent(b);
  EXPECT_TRUE(Contains(j, "a +b"));
  EXPECT_TRUE(Contains(j, "b +b"));
  EXPECT_TRUE(Contains(j, "form +b"));
  EXPECT_EQ(b->GetOwner(), &owner);
}

TEST(ComponentOwnership, FreeingAnOwnedComponentTakesItOffItsOwner) {
  Journal j;
  TLogged owner(nullptr, "form", j);
  auto* a = new TLogged(&owner, "a", j);
  new TLogged(&owner, "b", j);
  j.lines.clear();
  delete a;
  ASSERT_EQ(owner.ComponentCount(), 1);
  EXPECT_EQ(owner.GetComponent(0)->GetName(), "b");
  EXPECT_TRUE(Contains(j, "b -a"));
  EXPECT_FALSE(Contains(j, "free a destroying")) << "only the owner's end marks its components";
}

TEST(ComponentOwnership, RemoveLetsGoWithoutFreeingAndInsertMovesBetweenOwners) {
  Journal j;
  auto first = std::make_unique<TLogged>(nullptr, "first", j);
  auto second = std::make_unique<TLogged>(nullptr, "second", j);
  auto* item = new TLogged(first.get(), "item", j);

  second->InsertComponent(item);  // straight from one owner to the other
  EXPECT_EQ(item->GetOwner(), second.get());
  EXPECT_EQ(first->ComponentCount(), 0);
  EXPECT_EQ(second->ComponentCount(), 1);
  EXPECT_TRUE(Contains(j, "first -item"));
  first.reset();
  EXPECT_FALSE(Contains(j, "free item destroying"));

  second->RemoveComponent(item);
  EXPECT_EQ(item->GetOwner(), nullptr);
  EXPECT_EQ(second->ComponentCount(), 0);
  second.reset();
  EXPECT_FALSE(Contains(j, "free item destroying"));
  delete item;
  EXPECT_TRUE(Contains(j, "free item"));
}

TEST(ComponentNotifications, FreeNotificationTellsAComponentOwnedElsewhere) {
  Journal j;
  TLogged formA(nullptr, "formA", j);
  TLogged formB(nullptr, "formB", j);
  auto* watcher = new TLogged(&formA, "watcher", j);
  auto* port = new TLogged(&formB, "port", j);
  watcher->FreeNotification(port);
  j.lines.clear();
  delete port;
  EXPECT_TRUE(Contains(j, "watcher -port"));
  // The link is gone in both directions: freeing the watcher later must not
  // reach the freed port.
  j.lines.clear();
  delete watcher;
  EXPECT_EQ(j.lines, (std::vector<std::string>{"free watcher", "formA -watcher"}));
}

TEST(ComponentNotifications, WhicheverSideGoesFirstTheOtherIsToldAndForgetsIt) {
  Journal j;
  auto* a = new TLogged(nullptr, "a", j);
  auto* b = new TLogged(nullptr, "b", j);
  a->FreeNotification(b);
  delete a;  // b hears of a, so b's own end must not notify a freed a
  EXPECT_TRUE(Contains(j, "b -a"));
  j.lines.clear();
  delete b;
  EXPECT_EQ(j.lines, std::vector<std::string>{"free b"});
}

TEST(ComponentNotifications, RemovedFreeNotificationIsSilent) {
  Journal j;
  TLogged a(nullptr, "a", j);
  auto* b = new TLogged(nullptr, "b", j);
  a.FreeNotification(b);
  a.RemoveFreeNotification(b);
  delete b;
  EXPECT_FALSE(Contains(j, "a -b"));
}

// A component that, told of a removal, takes another component off the owner:
// the owner's walk over its list must survive the list changing under it.
class TGreedy : public TComponent {
 public:
  TGreedy(TComponent* owner, TComponent** victim) : TComponent(owner), victim_(victim) {}
  void Notification(TComponent* component, TOperation operation) override {
    TComponent::Notification(component, operation);
    if (operation == TOperation::opRemove && *victim_ != nullptr && *victim_ != component &&
        (*victim_)->GetOwner() != nullptr) {
      TComponent* v = *victim_;
      *victim_ = nullptr;
      v->GetOwner()->RemoveComponent(v);
      delete v;
    }
  }

 private:
  TComponent** victim_;
};

TEST(ComponentNotifications, HandlersMayChangeTheOwnersListWhileItIsWalked) {
  TComponent owner;
  TComponent* victim = nullptr;
  auto* first = new TComponent(&owner);
  victim = new TComponent(&owner);
  new TGreedy(&owner, &victim);
  new TComponent(&owner);
  delete first;
  EXPECT_EQ(victim, nullptr);
  EXPECT_EQ(owner.ComponentCount(), 2);
}

TEST(ComponentState, LoadedClearsLoadingAndActsOnStoredProperties) {
  TComponent form;
  form.SetLoading();
  auto* stored = new TStored(&form);
  stored->SetLoading();
  EXPECT_TRUE(stored->IsLoading());
  stored->SetCount(3);  // a stored property: only kept while loading
  EXPECT_EQ(stored->Applied(), 0);
  stored->Loaded();
  EXPECT_FALSE(stored->IsLoading());
  EXPECT_EQ(stored->Applied(), 1);
  EXPECT_TRUE(form.IsLoading()) << "each component is told on its own";
  form.Loaded();
  EXPECT_EQ(form.ComponentState() & sio::csLoading, 0u);
}

TEST(ComponentState, DesigningReachesOwnedAndLaterInsertedComponents) {
  TComponent form;
  auto* a = new TComponent(&form);
  form.SetDesigning(true);
  EXPECT_TRUE(a->IsDesigning());
  auto* b = new TComponent(&form);
  EXPECT_TRUE(b->IsDesigning());
  form.SetDesigning(false);
  EXPECT_FALSE(a->IsDesigning());
  EXPECT_FALSE(b->IsDesigning());
  EXPECT_FALSE(form.IsDestroying());
}

}  // namespace
